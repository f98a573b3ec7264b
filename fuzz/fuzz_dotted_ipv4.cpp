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
        hq::decodeWindows1252(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    const std::optional<QHostAddress> parsed = hq::parseDottedIPv4(text);
    if (parsed) {
        check(parsed->protocol() == QAbstractSocket::IPv4Protocol);
        check(hq::looksLikeDottedAddress(text));
        const QString dotted = parsed->toString();
        check(hq::parseDottedIPv4(dotted) == parsed);
        const std::optional<QString> field = hq::formatSchrankip(dotted);
        check(field.has_value() && field->size() == 15);
        check(hq::isCompleteSchrankip(*field) && !hq::isEmptySchrankip(*field));
        check(hq::plainSchrankip(*field) == dotted);
    }
    if (const std::optional<QString> field = hq::formatSchrankip(text)) {
        check(field->size() == 15 && hq::isCompleteSchrankip(*field));
        check(hq::plainSchrankip(*field) == text.trimmed());
        check(hq::parseDottedIPv4(*field) == hq::parseDottedIPv4(text.trimmed()));
        check(hq::formatSchrankip(hq::plainSchrankip(*field)) == field);
    }
    if (hq::isCompleteSchrankip(text)) {
        // Finished input of the mask is four groups of digits: an address unless one is above 255.
        check(text.size() == 15 && hq::looksLikeDottedAddress(text));
        check(!hq::isEmptySchrankip(text));
        bool small = true;
        for (const QString& g : hq::plainSchrankip(text).split(u'.'))
            small = small && g.toInt() <= 255;
        check(hq::parseDottedIPv4(text).has_value() == small);
    }
    if (hq::isEmptySchrankip(text))
        check(!parsed);
    return 0;
}
