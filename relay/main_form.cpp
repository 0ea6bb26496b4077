#include "relay/main_form.h"

#include "relay/form_style.h"
#include "relay/module1.h"
#include "relay/tick_priority.h"
#include "serial/port_mapping.h"

#include <QEvent>
#include <QMessageBox>

namespace telvar {

namespace {
const QString unknown_text = QStringLiteral("状态未知");
const QString pulled_in_text = QStringLiteral("  吸合");
const QString released_text = QStringLiteral("  断开");
const QString open_text = QStringLiteral("打开串口");
const QString close_text = QStringLiteral("关闭串口");

const char* const numerals[] = {"",     "一",   "二",   "三",   "四",   "五",
                                "六",   "七",   "八",   "九",   "十",   "十一",
                                "十二", "十三", "十四", "十五", "十六"};

int channel_label_width(int index)
{
    if (index <= 10)
        return 975;
    if (index <= 12)
        return 1215;
    return index == 14 ? 1455 : 1335;
}

QLineEdit* make_locked_box(QWidget* parent, const QRect& where)
{
    auto* box = new QLineEdit(QStringLiteral("1"), parent);
    box->setFont(medium_font());
    box->setGeometry(where);
    box->setReadOnly(true);
    set_black_text(box, QPalette::Text);
    return box;
}

QLabel* make_black_label(QWidget* parent, const QString& text, const QRect& where)
{
    QLabel* label = make_label(parent, text, large_font(), where);
    set_black_text(label, QPalette::WindowText);
    return label;
}
} // namespace

main_form::main_form(const build_variant& variant, port_factory make_port, QWidget* parent)
    : QWidget(parent), variant_(variant), make_port_(std::move(make_port)), MSComm1(make_port_())
{
    setObjectName(QStringLiteral("main_form"));
    setWindowTitle(variant.main_caption);
    setWindowIcon(program_icon());
    setPalette(light_palette());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint
                   | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(tw(6720), tw(7965));

    Label3 = make_black_label(this, QStringLiteral("串口号"), tw_rect(120, 120, 1335, 375));
    chuankou_num = make_locked_box(this, tw_rect(1680, 120, 615, 375));
    VScroll2 = new spinner(150, 0, 1, this);
    VScroll2->setGeometry(tw_rect(2280, 120, 375, 375));
    open_comm = make_button(this, open_text, tw_rect(3840, 120, 1455, 375));
    Label5 = make_black_label(this, QStringLiteral("模块地址"), tw_rect(120, 840, 1335, 375));
    add = make_locked_box(this, tw_rect(1680, 840, 690, 375));
    VScroll1 = new spinner(255, 0, 1, this);
    VScroll1->setGeometry(tw_rect(2310, 840, 375, 375));
    wuxian_canshu = make_button(this, QStringLiteral("参数设置"), tw_rect(3840, 840, 1455, 375));
    openall = make_button(this, QStringLiteral("吸合所有"), tw_rect(1320, 7440, 1455, 375));
    closeall = make_button(this, QStringLiteral("断开所有"), tw_rect(3600, 7440, 1455, 375));

    for (int i = 1; i <= relay_count; ++i) {
        const int row = i <= 8 ? i - 1 : 16 - i;  // right column counts upwards
        const int box_left = i <= 8 ? 1080 : 3840;
        auto* box = new indicator_box(i, this);
        box->setObjectName(QStringLiteral("Picture1_%1").arg(i));
        box->setGeometry(tw_rect(box_left, 1560 + 720 * row, 1335, 615));
        box->set_colour(unknown_colour());
        auto* status = new click_label(unknown_text, box);
        status->setObjectName(QStringLiteral("Label2_%1").arg(i));
        status->setFont(medium_font());
        status->setGeometry(tw_rect(0, 120, 1215, 375).translated(box->contentsRect().topLeft()));
        Picture1[i] = box;
        Label2[i] = status;
        const int label_left = i <= 8 ? 120 : 5280;
        Label4[i] = make_label(this, QStringLiteral("第%1路").arg(QString::fromUtf8(numerals[i])),
                               medium_font(),
                               tw_rect(label_left, 1680 + 720 * row, channel_label_width(i), 375));
        connect(box, &indicator_box::clicked, this, &main_form::Picture1_Click);
        connect(status, &click_label::clicked, this, [this, i] { Label2_Click(i); });
    }

    // Keyboard focus order of the window's design.
    QWidget* order[] = {chuankou_num, open_comm, add, openall, closeall, VScroll1, VScroll2};
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
        if (previous)
            setTabOrder(previous, w);
        previous = w;
    }
    for (int i = 1; i <= relay_count; ++i) {
        setTabOrder(previous, Picture1[i]);
        previous = Picture1[i];
    }
    setTabOrder(previous, wuxian_canshu);

    connect(open_comm, &QPushButton::clicked, this, &main_form::open_comm_Click);
    connect(openall, &QPushButton::clicked, this, &main_form::openall_Click);
    connect(closeall, &QPushButton::clicked, this, &main_form::closeall_Click);
    connect(wuxian_canshu, &QPushButton::clicked, this, &main_form::wuxian_canshu_Click);
    connect(VScroll1, &spinner::number_changed, this, &main_form::VScroll1_Change);
    connect(VScroll2, &spinner::number_changed, this, &main_form::VScroll2_Change);
    connect(MSComm1.get(), &serial_port::received, this, &main_form::MSComm1_OnComm);
    connect(MSComm1.get(), &serial_port::lost, this, &main_form::port_lost);

    // The poll tick runs from the moment the window exists, port open or not.
    Timer1 = new QTimer(this);
    Timer1->setTimerType(Qt::PreciseTimer);
    // A busy machine must not push the tick (or the reply's repaint) late.
    request_prompt_wakeups();
    Timer1->setInterval(200);
    connect(Timer1, &QTimer::timeout, this, &main_form::Timer1_Timer);
    Timer1->start();

    // The port box's tooltip names the device its number stands for now.
    chuankou_num->installEventFilter(this);
    chuankou_num->setFocus();
    warn_if_texts_uncovered(this, medium_font(), pulled_in_text + released_text + close_text);
}

main_form::~main_form() = default;

void main_form::showEvent(QShowEvent* event)
{
    if (!shown_once_) {
        shown_once_ = true;
        center_on_screen(this);
    }
    QWidget::showEvent(event);
}

bool main_form::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == chuankou_num && event->type() == QEvent::ToolTip)
        chuankou_num->setToolTip(port_tooltip(chuankou_num->text().toInt()));
    return QWidget::eventFilter(watched, event);
}

void main_form::open_comm_Click()
{
    if (!MSComm1->is_open()) {
        const int number = static_cast<std::int16_t>(chuankou_num->text().toInt());
        const open_result result = MSComm1->open(number);
        if (!result.ok) {
            // The window keeps its look: it never shows the open look for a closed port.
            tell_operator(open_failure_message(number, result));
            return;
        }
        open_number_ = number;
        MSComm1->set_threshold(frame_length);
        show_port_opened();
    } else {
        MSComm1->close();
        show_port_closed();
    }
}

void main_form::show_port_opened()
{
    paint_all(relay_look::unknown);
    openall->setEnabled(true);
    closeall->setEnabled(true);
    Timer1->start();
    chuankou_num->setEnabled(false);
    open_comm->setText(close_text);
}

void main_form::show_port_closed()
{
    paint_all(relay_look::closed);
    openall->setEnabled(false);
    closeall->setEnabled(false);
    Timer1->stop();
    chuankou_num->setEnabled(true);
    open_comm->setText(open_text);
}

void main_form::queue_command(std::uint8_t code, std::uint8_t param1, std::uint8_t param2)
{
    poll.queue_command(code, param1, param2);
}

void main_form::send_next()
{
    const relay_command next = poll.take_next();
    Module1::send_relay_frame(*MSComm1, add->text().toInt(), next.code, next.param1, next.param2);
}

void main_form::Timer1_Timer()
{
    if (poll.watchdog_step())
        paint_all(relay_look::unknown);
    send_next();
}

void main_form::MSComm1_OnComm()
{
    // Fewer than a whole reply: leave the bytes for the next event.
    if (!read_group(*MSComm1, rx_buf) || !is_valid_reply(rx_buf))
        return;
    show_relay_status();
    poll.reply_accepted();
}

void main_form::show_relay_status()
{
    const auto states = status_reply_states(rx_buf);
    for (int relay : repaint_order)
        paint_relay(relay, states[relay - 1] ? relay_look::pulled_in : relay_look::released);
}

void main_form::openall_Click()
{
    queue_command(switch_all, 0xFF, 0xFF);
}

void main_form::closeall_Click()
{
    queue_command(switch_all, 0x00, 0x00);
}

void main_form::Picture1_Click(int index)
{
    if (index < 1 || index > relay_count)
        return;
    const QColor colour = Picture1[index]->colour();
    if (colour == pulled_in_colour())
        queue_command(release_relay, 0, static_cast<std::uint8_t>(index));
    else if (colour == released_colour())
        queue_command(pull_in_relay, 0, static_cast<std::uint8_t>(index));
}

void main_form::Label2_Click(int index)
{
    Picture1_Click(index);
}

void main_form::VScroll1_Change()
{
    add->setText(QString::number(VScroll1->number()));
}

void main_form::VScroll2_Change()
{
    chuankou_num->setText(QString::number(VScroll2->number()));
}

void main_form::wuxian_canshu_Click()
{
    // At most one window holds the port: ours goes before the dialog takes it.
    if (MSComm1->is_open()) {
        MSComm1->close();
        show_port_closed();
    }
    // A fresh dialog every time; creating it loads it, which copies our address.
    auto* dialog = new canshu(*this, make_port_());
    canshu_form_ = dialog;
    dialog->show();
    dialog->open_port(static_cast<std::int16_t>(chuankou_num->text().toInt()));
    hide();
}

relay_look main_form::look(int index) const
{
    const QColor colour = Picture1[index]->colour();
    if (colour == pulled_in_colour())
        return relay_look::pulled_in;
    if (colour == released_colour())
        return relay_look::released;
    if (colour == unknown_colour())
        return relay_look::unknown;
    return relay_look::closed;
}

void main_form::paint_relay(int index, relay_look look)
{
    switch (look) {
    case relay_look::pulled_in:
        Picture1[index]->set_colour(pulled_in_colour());
        Label2[index]->setText(pulled_in_text);
        break;
    case relay_look::released:
        Picture1[index]->set_colour(released_colour());
        Label2[index]->setText(released_text);
        break;
    case relay_look::unknown:
        Picture1[index]->set_colour(unknown_colour());
        Label2[index]->setText(unknown_text);
        break;
    case relay_look::closed:
        Picture1[index]->set_colour(gray_text_colour());
        Label2[index]->setText(unknown_text);
        break;
    }
}

void main_form::paint_all(relay_look look)
{
    for (int i = 1; i <= relay_count; ++i)
        paint_relay(i, look);
}

void main_form::port_lost(const QString& reason)
{
    // As if the operator had closed the port: the closed look, the timer stopped.
    show_port_closed();
    tell_operator(lost_message(open_number_, MSComm1->device(), reason));
}

void main_form::tell_operator(const QString& text)
{
    message_.tell(this, text);
}

} // namespace telvar
