// Whatever an operator types or pastes into a number box: the input is taken
// as UTF-8 text. A reading is a number only for plain ASCII digits whose value
// is at most 2147483647 (leading zeros allowed), and then it is that value;
// everything else is refused with a fault, and the message for it names the
// box and never runs on for pages.
#include "fuzz_check.h"
#include "protocol/canshu_protocol.h"
#include "params/number_message.h"

#include <string>

using namespace telvar;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const number_reading got = read_number(text);

    bool digits_only = !text.isEmpty();
    std::string significant;  // the digits without leading zeros
    for (QChar c : text) {
        if (c.unicode() < '0' || c.unicode() > '9') {
            digits_only = false;
            break;
        }
        if (!significant.empty() || c != QLatin1Char('0'))
            significant += char(c.unicode());
    }
    const bool fits = significant.size() < 10
                      || (significant.size() == 10 && significant <= "2147483647");
    const bool number = digits_only && fits;
    FUZZ_CHECK(got.ok() == number);
    if (number) {
        FUZZ_CHECK(got.value >= 0);
        FUZZ_CHECK(std::to_string(got.value) == (significant.empty() ? "0" : significant));
    } else {
        FUZZ_CHECK(got.fault != number_fault::none);
        if (text.isEmpty())
            FUZZ_CHECK(got.fault == number_fault::empty);
        if (digits_only)
            FUZZ_CHECK(got.fault == number_fault::too_large);
        const QString message =
            number_fault_message(QStringLiteral("主机"), QStringLiteral("ID"), text, got.fault);
        FUZZ_CHECK(message.startsWith(QStringLiteral("主机ID")));
        FUZZ_CHECK(message.size() < 200);
        FUZZ_CHECK(!message.contains(QChar(0)));
    }
    return 0;
}
