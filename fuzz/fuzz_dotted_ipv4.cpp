// The dotted IPv4 parser and the address field's formatter on any text: a laid-out address has
// the field's shape, reads back as the same address and is finished input for the field's mask;
// an address that parses prints and parses to itself.
#include "fuzz_check.h"
#include "localization/windows1252.h"
#include "network/schrankip.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using hq::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        hq::DecodeWindows1252(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    const std::optional<QHostAddress> parsed = hq::ParseDottedIPv4(text);
    if (parsed) {
        check(parsed->protocol() == QAbstractSocket::IPv4Protocol);
        check(hq::LooksLikeDottedAddress(text));
        const QString dotted = parsed->toString();
        check(hq::ParseDottedIPv4(dotted) == parsed);
        const std::optional<QString> field = hq::FormatSchrankip(dotted);
        check(field.has_value() && field->size() == 15);
        check(hq::IsCompleteSchrankip(*field) && !hq::IsEmptySchrankip(*field));
        check(hq::PlainSchrankip(*field) == dotted);
    }
    if (const std::optional<QString> field = hq::FormatSchrankip(text)) {
        check(field->size() == 15 && hq::IsCompleteSchrankip(*field));
        check(hq::PlainSchrankip(*field) == text.trimmed());
        check(hq::ParseDottedIPv4(*field) == hq::ParseDottedIPv4(text.trimmed()));
        check(hq::FormatSchrankip(hq::PlainSchrankip(*field)) == field);
    }
    if (hq::IsCompleteSchrankip(text)) {
        // Finished input of the mask is four groups of digits: an address unless one is above 255.
        check(text.size() == 15 && hq::LooksLikeDottedAddress(text));
        check(!hq::IsEmptySchrankip(text));
        bool small = true;
        for (const QString& g : hq::PlainSchrankip(text).split(u'.'))
            small = small && g.toInt() <= 255;
        check(hq::ParseDottedIPv4(text).has_value() == small);
    }
    if (hq::IsEmptySchrankip(text))
        check(!parsed);
    return 0;
}
