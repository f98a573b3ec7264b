// The cookie store fed any Set-Cookie values, for a few hosts: whatever a server sends, no host
// keeps more than 50 cookies, no cookie is longer than 4096 bytes, the Cookie line sent back
// holds no control byte (no header injection) and splits back into the cookies kept, and the same
// reply once more keeps the same cookies.
#include "fuzz_check.h"
#include "network/http_upload.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using hq::fuzz::check;

namespace {

// The name=value pairs of a Cookie line, sorted.
QList<QByteArray> sortedPairs(const QByteArray& line) {
    QList<QByteArray> pairs = line.split(';');
    for (QByteArray& p : pairs)
        p = p.trimmed();
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using hq::CookieStore;
    CookieStore store;
    const QStringList hosts = {QStringLiteral("192.168.1.50"), QStringLiteral("Schrank"),
                               QStringLiteral("10.0.0.7")};
    // Records separated by 0xFF: the first byte of a record picks the host, the rest are the
    // values of one reply, separated by 0xFE (any other byte, CR, LF and NUL included, is data).
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& record : input.split('\xFF')) {
        if (record.isEmpty())
            continue;
        const QString& host = hosts[static_cast<unsigned char>(record[0]) % hosts.size()];
        const QList<QByteArray> reply = record.sliced(1).split('\xFE');
        store.store(host, reply);
        // Repeating the same reply keeps the same cookies (on a copy, so that the next records
        // meet the store as the first reply left it). Their order in the line may change: of
        // more than 50 a cookie pushed out and set again counts as first set then.
        CookieStore repeated = store;
        repeated.store(host, reply);
        check(repeated.count(host) == store.count(host));
        check(sortedPairs(repeated.cookieHeader(host)) == sortedPairs(store.cookieHeader(host)));
    }
    for (const QString& host : hosts) {
        check(store.count(host) <= CookieStore::kMaxCookiesPerHost);
        const QByteArray line = store.cookieHeader(host);
        check(line.isEmpty() == (store.count(host) == 0));
        for (char c : line) {
            const auto u = static_cast<unsigned char>(c);
            check(u >= 0x20 && u != 0x7F);
        }
        if (line.isEmpty())
            continue;
        // No name or value holds a ';', so the line splits into exactly the cookies kept, each a
        // name, '=' and a value of at most 4096 bytes together.
        const QList<QByteArray> pairs = line.split(';');
        check(pairs.size() == store.count(host));
        QList<QByteArray> values;
        for (qsizetype i = 0; i < pairs.size(); ++i) {
            const QByteArray pair = i == 0 ? pairs[i] : pairs[i].sliced(1);
            check(i == 0 || pairs[i].startsWith(' '));
            check(pair.indexOf('=') > 0);
            check(pair.size() - 1 <= CookieStore::kMaxCookieBytes);
            values.append(pair);
        }
        // Kept cookies are kept again unchanged: storing the line's pairs gives the same line.
        CookieStore again;
        again.store(host, values);
        check(again.cookieHeader(host) == line);
    }
    return 0;
}
