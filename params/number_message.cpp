#include "params/number_message.h"

namespace telvar {

QString number_fault_message(const QString& group, const QString& row, const QString& text,
                             number_fault fault)
{
    // Long pastes are cut short so the box stays readable.
    QString shown = text;
    if (shown.size() > 24)
        shown = shown.left(24) + QStringLiteral("…");
    for (QChar& c : shown)
        if (c.unicode() < 0x20)
            c = QLatin1Char(' ');
    QString why;
    switch (fault) {
    case number_fault::none:
        return {};
    case number_fault::empty:
        why = QStringLiteral("没有填写数字");
        break;
    case number_fault::not_decimal:
        why = text.simplified().isEmpty() ? QStringLiteral("只有空格")
                                          : QStringLiteral("“%1”不是十进制整数").arg(shown);
        break;
    case number_fault::negative:
        why = QStringLiteral("“%1”是负数").arg(shown);
        break;
    case number_fault::too_large:
        why = QStringLiteral("“%1”超出范围").arg(shown);
        break;
    }
    return QStringLiteral("%1%2%3，没有发送。\n"
                          "请填写 0 到 %4 之间的整数，只用数字 0-9，不带正负号、空格或小数点。")
        .arg(group, row, why)
        .arg(largest_number);
}

} // namespace telvar
