#include "protocol/decimal.h"

namespace telvar {

number_reading read_number(const QString& text)
{
    if (text.isEmpty())
        return {0, number_fault::empty};
    const bool minus = text.front() == QLatin1Char('-') && text.size() > 1;
    qint64 value = 0;
    bool large = false;
    for (qsizetype i = minus ? 1 : 0; i < text.size(); ++i) {
        // ASCII digits only: full-width digits from an input method are refused too.
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return {0, number_fault::not_decimal};
        if (!large) {
            value = value * 10 + (c - u'0');
            large = value > largest_number;
        }
    }
    if (minus)
        return {0, number_fault::negative};
    if (large)
        return {0, number_fault::too_large};
    return {static_cast<std::int32_t>(value), number_fault::none};
}

} // namespace telvar
