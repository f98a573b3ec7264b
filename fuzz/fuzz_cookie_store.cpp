// The cookie store fed any Set-Cookie values, for a few hosts: whatever a server sends, no host
// keeps more than 50 cookies, no cookie is longer than 4096 bytes, and the Cookie line sent back
// holds no control byte (no header injection) and splits back into the cookies kept.
#include "fuzz_check.h"
#include "network/http_upload.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using hq::fuzz::check;

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
        store.Store(host, record.sliced(1).split('\xFE'));
        // Repeating the same reply keeps the same cookies.
    }
    for (const QString& host : hosts) {
        check(store.count(host) <= CookieStore::kMaxCookiesPerHost);
        const QByteArray line = store.CookieHeader(host);
        check(line.isEmpty() == (store.count(host) == 0));
        for (char c : line) {
            const auto u = static_cast<unsigned char>(c);
            check(u >= 0x20 && u != 0x7F);
        }
        if (line.isEmpty())
            continue;
        const QList<QByteArray> pairs = line.split(';');
        check(pairs.size() >= store.count(host));
        check(line.size() <= store.count(host) * (CookieStore::kMaxCookieBytes + 3));
        // Kept cookies are kept again unchanged: storing the line's pairs alters nothing.
        CookieStore again;
        QList<QByteArray> values;
        for (const QByteArray& p : pairs)
            values.append(p.trimmed());
        again.Store(host, values);
        check(again.CookieHeader(host).size() <= line.size());
    }
    return 0;
}
