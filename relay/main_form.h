// The main window: port number and board address with their spinners, the
// port button, the sixteen relay indicators, the all-relay buttons and the
// way to the parameter dialog. It turns clicks and ticks into calls on the
// poll cycle and Module1, and paints what the status replies report.
#pragma once

#include "params/canshu.h"
#include "relay/form_style.h"
#include "relay/indicator.h"
#include "relay/poll_cycle.h"
#include "protocol/relay_protocol.h"
#include "relay/spinner.h"
#include "serial/serial_port.h"
#include "variant/build_variant.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <array>
#include <memory>


namespace telvar {

class main_form : public QWidget {
    Q_OBJECT
public:
    main_form(const build_variant& variant, port_factory make_port, QWidget* parent = nullptr);
    ~main_form() override;

    // Handlers and routines, named as the window's design names them.
    void open_comm_Click();
    void show_port_opened();
    void show_port_closed();
    void queue_command(std::uint8_t code, std::uint8_t param1, std::uint8_t param2);
    void send_next();
    void Timer1_Timer();
    void MSComm1_OnComm();
    void show_relay_status();
    void openall_Click();
    void closeall_Click();
    void Picture1_Click(int index);
    void Label2_Click(int index);
    void VScroll1_Change();
    void VScroll2_Change();
    void wuxian_canshu_Click();

    /** The look relay @p index (1..16) shows, read back from its box. */
    relay_look look(int index) const;

    const build_variant& variant() const { return variant_; }
    serial_port& port() { return *MSComm1; }
    const port_factory& make_port() const { return make_port_; }
    /** The parameter dialog while it is open, else nullptr. */
    canshu* parameter_dialog() const { return canshu_form_; }
    /** The last message box the window showed the operator, while it is open. */
    QMessageBox* last_message() const { return message_.shown(); }

    // Controls; the arrays are indexed 1 to 16, entry 0 unused.
    QLabel* Label3;
    QLineEdit* chuankou_num;
    spinner* VScroll2;
    QPushButton* open_comm;
    QLabel* Label5;
    QLineEdit* add;
    spinner* VScroll1;
    QPushButton* wuxian_canshu;
    QPushButton* openall;
    QPushButton* closeall;
    QTimer* Timer1;
    std::array<indicator_box*, relay_count + 1> Picture1{};
    std::array<click_label*, relay_count + 1> Label2{};
    std::array<QLabel*, relay_count + 1> Label4{};

    // Fields.
    poll_cycle poll;
    rx_buffer rx_buf{};

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void paint_relay(int index, relay_look look);
    void paint_all(relay_look look);
    void port_lost(const QString& reason);
    void tell_operator(const QString& text);

    const build_variant& variant_;
    port_factory make_port_;
    std::unique_ptr<serial_port> MSComm1;
    int open_number_ = 0;
    bool shown_once_ = false;
    operator_message message_;
    QPointer<canshu> canshu_form_;
};

} // namespace telvar
