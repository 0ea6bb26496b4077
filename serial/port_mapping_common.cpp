#include "serial/port_mapping.h"

#include "serial/port_holder.h"

namespace telvar {

QString open_failure_message(int number, const open_result& result)
{
    const QString port = QStringLiteral("COM%1").arg(number);
    const QString where = result.device.isEmpty()
                              ? port
                              : QStringLiteral("%1（%2）").arg(port, result.device);
    switch (result.failure) {
    case open_failure::none:
        return {};
    case open_failure::no_port:
        return QStringLiteral("无法打开串口 %1：本机没有这个串口号对应的串口设备。\n"
                              "请用串口号旁边的箭头选择连接无线模块的串口。")
            .arg(port);
    case open_failure::not_found:
        return QStringLiteral("无法打开串口 %1：设备不存在。\n"
                              "请检查 USB 转串口线是否插好，或选择其他串口号。")
            .arg(where);
    case open_failure::busy:
        if (result.holder && is_service(*result.holder))
            return QStringLiteral("无法打开串口 %1：串口正被 telvard 服务（进程 %2）占用。\n"
                                  "请用 systemctl stop telvard 停止该服务后再试，"
                                  "或改用 telvarctl 通过该服务控制继电器。")
                .arg(where)
                .arg(result.holder->pid);
        if (result.holder && !result.holder->name.isEmpty())
            return QStringLiteral("无法打开串口 %1：串口正被其他程序（%2，进程 %3）占用。\n"
                                  "请关闭占用该串口的程序后再试。")
                .arg(where, result.holder->name)
                .arg(result.holder->pid);
        return QStringLiteral("无法打开串口 %1：串口正被其他程序占用。\n"
                              "请关闭占用该串口的程序后再试。")
            .arg(where);
    case open_failure::no_permission:
        return QStringLiteral("无法打开串口 %1：没有访问权限。\n%2")
            .arg(where, permission_hint());
    case open_failure::other:
        break;
    }
    return QStringLiteral("无法打开串口 %1：%2").arg(where, result.detail);
}

QString port_tooltip(int number)
{
    const QString device = port_device(number);
    if (device.isEmpty())
        return QStringLiteral("COM%1：本机没有对应的串口设备").arg(number);
    return QStringLiteral("COM%1：%2").arg(number).arg(device);
}

QString lost_message(int number, const QString& device, const QString& reason)
{
    const QString where = device.isEmpty() ? QStringLiteral("COM%1").arg(number)
                                           : QStringLiteral("COM%1（%2）").arg(number).arg(device);
    return QStringLiteral("串口 %1 已断开（%2），串口已关闭。\n"
                          "请检查 USB 转串口线，插好后重新打开串口。")
        .arg(where, reason);
}

} // namespace telvar
