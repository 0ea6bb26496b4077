// The parameter dialog: reads and writes the id and channel of the host radio
// module and of one board's slave module, and pairs the two. It takes the
// main window's place while it is open and owns its own serial port, opened
// by the main window when it hands the port over.
#pragma once

#include "protocol/canshu_protocol.h"
#include "relay/form_style.h"
#include "protocol/relay_protocol.h"
#include "serial/serial_port.h"
#include "variant/build_variant.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <memory>
#include <optional>

namespace telvar {

class main_form;

class canshu : public QWidget {
    Q_OBJECT
public:
    /**
     * A fresh dialog for @p main, with its port closed. It deletes itself
     * when closed, and with @p main if that goes first.
     */
    canshu(main_form& main, std::unique_ptr<serial_port> port);
    ~canshu() override;

    /**
     * The opener's part: opens port @p number with the receive threshold of
     * one reply. A failure is put to the operator; the dialog stays usable.
     */
    open_result open_port(int number);

    // Handlers and routines, named as the dialog's design names them.
    void Form_Load();
    void Form_Unload();
    void open_comm_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Command5_Click();
    void Command6_Click();
    void Command7_Click();
    void Command8_Click();
    void Command10_Click();
    void MSComm1_OnComm();
    void show_canshu_reply();

    serial_port& port() { return *MSComm1; }
    /** The last operator message the dialog showed, while it is open. */
    QMessageBox* last_message() const { return message_.shown(); }

    // Controls.
    QLabel* Label3;
    QLabel* Label1;
    QLineEdit* zhuji_id;
    QPushButton* Command1;
    QPushButton* Command2;
    QLabel* Label2;
    QLineEdit* pinlv;
    QPushButton* Command3;
    QPushButton* Command4;
    QLabel* Label4;
    QLabel* Label7;
    QLineEdit* Text4;
    QPushButton* Command10;
    QLabel* Label5;
    QLineEdit* Text2;
    QPushButton* Command5;
    QPushButton* Command6;
    QLabel* Label6;
    QLineEdit* Text3;
    QPushButton* Command7;
    QPushButton* Command8;
    QPushButton* open_comm;

    // Fields.
    rx_buffer canshu_rx_buf{};

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The number in @p box, or a message naming the box and nothing.
    std::optional<std::int32_t> number_in(QLineEdit* box);
    bool confirm_channel_write();
    /** Sends the request @p code for board @p address with @p value (see canshu_request). */
    void send(std::uint8_t code, std::int32_t address = 0, std::int32_t value = 0);
    void port_lost(const QString& reason);
    void tell_operator(const QString& text);

    QPointer<main_form> main_;
    std::unique_ptr<serial_port> MSComm1;
    int open_number_ = 0;
    bool shown_once_ = false;
    operator_message message_;
};

} // namespace telvar
