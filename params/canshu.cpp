#include "params/canshu.h"

#include "params/number_message.h"
#include "relay/form_style.h"
#include "relay/main_form.h"
#include "relay/module1.h"
#include "serial/port_mapping.h"

#include <QCloseEvent>

#include <algorithm>
#include <limits>
#include <utility>

namespace telvar {

namespace {
const QString read_text = QStringLiteral("读取");
const QString write_text = QStringLiteral("写入");
const QString channel_row = QStringLiteral("频道：");
const QString id_row = QStringLiteral("ID标识：");

QLabel* make_opaque_label(QWidget* parent, const QString& text, const QFont& font,
                          const QRect& where)
{
    QLabel* label = make_label(parent, text, font, where);
    label->setAutoFillBackground(true);
    set_black_text(label, QPalette::WindowText);
    return label;
}

QLineEdit* make_box(QWidget* parent, const QRect& where)
{
    auto* box = new QLineEdit(parent);
    box->setFont(medium_font());
    box->setGeometry(where);
    // No limit: a long paste is refused whole with its message, never cut short unseen.
    box->setMaxLength(std::numeric_limits<int>::max());
    set_black_text(box, QPalette::Text);
    return box;
}
} // namespace

canshu::canshu(main_form& main, std::unique_ptr<serial_port> port)
    : QWidget(nullptr), main_(&main), MSComm1(std::move(port))
{
    setObjectName(QStringLiteral("canshu"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(dialog_caption());
    setPalette(light_palette());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(tw(5970), tw(5955));

    Label3 = make_opaque_label(this, QStringLiteral("主机参数："), large_font(), tw_rect(360, 240, 1695, 375));
    Label1 = make_opaque_label(this, id_row, medium_font(), tw_rect(480, 840, 1215, 375));
    zhuji_id = make_box(this, tw_rect(1680, 840, 975, 375));
    Command1 = make_button(this, read_text, tw_rect(3000, 840, 855, 375));
    Command2 = make_button(this, write_text, tw_rect(3960, 840, 855, 375));
    Label2 = make_opaque_label(this, channel_row, medium_font(), tw_rect(600, 1440, 1095, 375));
    pinlv = make_box(this, tw_rect(1680, 1440, 975, 375));
    Command3 = make_button(this, read_text, tw_rect(3000, 1440, 855, 375));
    Command4 = make_button(this, write_text, tw_rect(3960, 1440, 855, 375));
    Label4 = make_opaque_label(this, QStringLiteral("从机参数："), large_font(), tw_rect(360, 2520, 1695, 375));
    Label7 = make_opaque_label(this, QStringLiteral("地址："), medium_font(), tw_rect(720, 3120, 975, 375));
    Text4 = make_box(this, tw_rect(1680, 3120, 975, 375));
    Command10 = make_button(this, QStringLiteral("对  码"), tw_rect(3000, 3120, 1815, 375));
    Label5 = make_opaque_label(this, id_row, medium_font(), tw_rect(480, 3720, 1215, 375));
    Text2 = make_box(this, tw_rect(1680, 3720, 975, 375));
    Command5 = make_button(this, read_text, tw_rect(3000, 3720, 855, 375));
    Command6 = make_button(this, write_text, tw_rect(3960, 3720, 855, 375));
    Label6 = make_opaque_label(this, channel_row, medium_font(), tw_rect(600, 4320, 1095, 375));
    Text3 = make_box(this, tw_rect(1680, 4320, 975, 375));
    Command7 = make_button(this, read_text, tw_rect(3000, 4320, 855, 375));
    Command8 = make_button(this, write_text, tw_rect(3960, 4320, 855, 375));
    open_comm = make_button(this, QStringLiteral("关闭窗口"), tw_rect(2280, 5280, 1455, 375));

    const std::pair<QWidget*, const char*> names[] = {
        {Label3, "Label3"},     {Label1, "Label1"},     {zhuji_id, "zhuji_id"},
        {Command1, "Command1"}, {Command2, "Command2"}, {Label2, "Label2"},
        {pinlv, "pinlv"},       {Command3, "Command3"}, {Command4, "Command4"},
        {Label4, "Label4"},     {Label7, "Label7"},     {Text4, "Text4"},
        {Command10, "Command10"}, {Label5, "Label5"},   {Text2, "Text2"},
        {Command5, "Command5"}, {Command6, "Command6"}, {Label6, "Label6"},
        {Text3, "Text3"},       {Command7, "Command7"}, {Command8, "Command8"},
        {open_comm, "open_comm"}};
    for (const auto& [widget, name] : names)
        widget->setObjectName(QLatin1String(name));

    // Only the older build lets the operator write ids.
    Command2->setVisible(main.variant().id_write_buttons);
    Command6->setVisible(main.variant().id_write_buttons);

    // Keyboard focus order of the dialog's design; hidden buttons are skipped.
    QWidget* order[] = {open_comm, zhuji_id, Command1, Command2, pinlv, Command3, Command4,
                        Text2,     Command5, Command6, Text3,    Command7, Command8, Text4,
                        Command10};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    open_comm->setFocus();

    connect(open_comm, &QPushButton::clicked, this, &canshu::open_comm_Click);
    connect(Command1, &QPushButton::clicked, this, &canshu::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &canshu::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &canshu::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &canshu::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &canshu::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &canshu::Command6_Click);
    connect(Command7, &QPushButton::clicked, this, &canshu::Command7_Click);
    connect(Command8, &QPushButton::clicked, this, &canshu::Command8_Click);
    connect(Command10, &QPushButton::clicked, this, &canshu::Command10_Click);
    connect(MSComm1.get(), &serial_port::received, this, &canshu::MSComm1_OnComm);
    connect(MSComm1.get(), &serial_port::lost, this, &canshu::port_lost);
    // The dialog has no owner, so nothing else would end it with the program's window.
    connect(&main, &QObject::destroyed, this, [this] { delete this; });

    Form_Load();
}

canshu::~canshu()
{
    // The port object releases the device as it goes; close it first all the same.
    MSComm1->close();
}

open_result canshu::open_port(int number)
{
    open_number_ = number;
    const open_result result = MSComm1->open(number);
    if (!result.ok) {
        tell_operator(open_failure_message(number, result)
                      + QStringLiteral("\n参数设置窗口的串口没有打开，按钮不会发送请求；"
                                       "请关闭本窗口，在主窗口选好串口号后再打开参数设置。"));
        return result;
    }
    MSComm1->set_threshold(frame_length);
    return result;
}

void canshu::showEvent(QShowEvent* event)
{
    if (!shown_once_) {
        shown_once_ = true;
        center_on_screen(this);
    }
    QWidget::showEvent(event);
}

void canshu::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void canshu::Form_Load()
{
    if (main_)
        Text4->setText(main_->add->text());
}

void canshu::Form_Unload()
{
    // The port is released before the main window is back, so that window can
    // reopen it at once, before this dialog is finally deleted.
    MSComm1->close();
    if (main_)
        main_->show();
}

void canshu::open_comm_Click()
{
    close();
}

void canshu::Command1_Click()
{
    send(read_host_id);
}

void canshu::Command2_Click()
{
    if (zhuji_id->text().isEmpty())
        return;
    const auto id = number_in(zhuji_id);
    if (!id)
        return;
    send(write_host_id, 0, *id);
}

void canshu::Command3_Click()
{
    send(read_host_channel);
}

void canshu::Command4_Click()
{
    // The question comes first: with pinlv empty it is still asked.
    if (!confirm_channel_write())
        return;
    if (pinlv->text().isEmpty())
        return;
    const auto channel = number_in(pinlv);
    if (!channel)
        return;
    send(write_host_channel, 0, *channel);
}

void canshu::Command5_Click()
{
    if (Text4->text().isEmpty())
        return;
    const auto address = number_in(Text4);
    if (!address)
        return;
    send(read_slave_id, *address);
}

void canshu::Command6_Click()
{
    if (Text4->text().isEmpty() || Text2->text().isEmpty())
        return;
    const auto address = number_in(Text4);
    if (!address)
        return;
    const auto id = number_in(Text2);
    if (!id)
        return;
    send(write_slave_id, *address, *id);
}

void canshu::Command7_Click()
{
    if (Text4->text().isEmpty())
        return;
    const auto address = number_in(Text4);
    if (!address)
        return;
    send(read_slave_channel, *address);
}

void canshu::Command8_Click()
{
    if (!confirm_channel_write())
        return;
    if (Text4->text().isEmpty() || Text3->text().isEmpty())
        return;
    const auto address = number_in(Text4);
    if (!address)
        return;
    const auto channel = number_in(Text3);
    if (!channel)
        return;
    send(write_slave_channel, *address, *channel);
}

void canshu::Command10_Click()
{
    if (Text4->text().isEmpty())
        return;
    const auto address = number_in(Text4);
    if (!address)
        return;
    send(pair_with_board, *address);
}

void canshu::MSComm1_OnComm()
{
    // Never more than a whole reply, and only once it is all there.
    if (!read_group(*MSComm1, canshu_rx_buf) || !is_valid_reply(canshu_rx_buf))
        return;
    show_canshu_reply();
}

void canshu::show_canshu_reply()
{
    reply_group group{};
    std::copy_n(canshu_rx_buf.begin(), frame_length, group.begin());
    const canshu_reply reply = decode_canshu_reply(group);
    const QString value = QString::number(reply.value);
    switch (reply.box) {
    case reply_box::none:
        return;
    case reply_box::zhuji_id:
        zhuji_id->setText(value);
        break;
    case reply_box::pinlv:
        pinlv->setText(value);
        break;
    case reply_box::Text2:
        Text2->setText(value);
        break;
    case reply_box::Text3:
        Text3->setText(value);
        break;
    }
    if (!reply.paired)
        return;
    QPointer<QMessageBox> box =
        make_message_box(QMessageBox::NoIcon, QStringLiteral("对码成功！"), QMessageBox::Ok, this);
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
    box->exec();
    delete box;
}

std::optional<std::int32_t> canshu::number_in(QLineEdit* box)
{
    const number_reading reading = read_number(box->text());
    if (reading.ok())
        return reading.value;
    const bool host = box == zhuji_id || box == pinlv;
    QString row = channel_row;
    if (box == Text4)
        row = Label7->text();
    else if (box == zhuji_id || box == Text2)
        row = id_row;
    tell_operator(number_fault_message(host ? Label3->text() : Label4->text(), row, box->text(),
                                       reading.fault));
    return std::nullopt;
}

bool canshu::confirm_channel_write()
{
    QPointer<canshu> self(this);
    QPointer<QMessageBox> box =
        make_message_box(QMessageBox::NoIcon, QStringLiteral("写入之后，将按照新的频道通信，确认吗？"),
                         QMessageBox::Ok | QMessageBox::Cancel, this);
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Cancel);
    const int answer = box->exec();
    delete box;
    return self && answer == QMessageBox::Ok;
}

void canshu::send(std::uint8_t code, std::int32_t address, std::int32_t value)
{
    // A closed port was reported once, when it failed or was lost; a box on
    // every press would only stand between the operator and "关闭窗口".
    const frame request =
        canshu_request(code, low_byte(address), static_cast<std::uint32_t>(value));
    Module1::send_canshu_frame(*MSComm1, request[0], request[1], request[2], request[3],
                               request[4], request[5], request[6]);
}

void canshu::port_lost(const QString& reason)
{
    tell_operator(lost_message(open_number_, MSComm1->device(), reason)
                  + QStringLiteral("\n参数设置窗口的按钮不再发送请求；"
                                   "请关闭本窗口，回到主窗口重新打开串口。"));
}

void canshu::tell_operator(const QString& text)
{
    message_.tell(this, text);
}

} // namespace telvar
