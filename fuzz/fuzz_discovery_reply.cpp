// The discovery reply decoder on any datagram from any sender: it lists exactly the datagrams
// that start with "HQ3746", its list entry names the sender and a trimmed description of at most
// n - 7 bytes, and the list entry gives the sender back as the cabinet's address.
#include "fuzz_check.h"
#include "localization/windows1252.h"
#include "network/discovery.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using hq::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the sender, the rest is the datagram.
    const QString sender = QStringLiteral("192.168.%1.%2").arg(data[0] >> 4).arg(data[0] & 15);
    const QByteArray datagram(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const hq::DiscoveryReply reply = hq::decodeDiscoveryReply(datagram, sender);
    if (datagram.isEmpty()) {
        check(reply.memoLines.isEmpty() && !reply.listEntry);
        return 0;
    }
    check(!reply.memoLines.isEmpty());
    check(reply.memoLines.front() ==
          QStringLiteral("Received: ") + hq::decodeWindows1252(datagram) + sender);
    const bool cabinet = datagram.startsWith("HQ3746");
    check(reply.listEntry.has_value() == cabinet);
    if (!cabinet) {
        check(reply.memoLines.size() == 2);
        check(reply.memoLines[1] ==
              hq::decodeWindows1252(datagram.first(std::min<qsizetype>(6, datagram.size()))));
        return 0;
    }
    check(reply.memoLines.size() == 1);
    const QString& entry = *reply.listEntry;
    const QString prefix = sender + QStringLiteral(" - ");
    check(entry.startsWith(prefix));
    const QString description = entry.sliced(prefix.size());
    // Bytes 7 .. n-1 only: the final byte never belongs to the description.
    check(description.size() <= std::max<qsizetype>(0, datagram.size() - 7));
    if (!description.isEmpty())
        check(description.front().unicode() > 0x20 && description.back().unicode() > 0x20);
    check(hq::addressOfListEntry(entry) == sender);
    return 0;
}
