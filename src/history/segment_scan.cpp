#include "history/segment_scan.h"

#include <algorithm>
#include <cstring>

namespace hq::history {

bool MemorySource::read(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) {
    out.clear();
    if (offset >= bytes_.size())
        return true;
    const std::size_t take = std::size_t(std::min<std::uint64_t>(n, bytes_.size() - offset));
    out.assign(bytes_.begin() + std::ptrdiff_t(offset),
               bytes_.begin() + std::ptrdiff_t(offset + take));
    return true;
}

namespace {

constexpr std::size_t kSummaryGuess = 512;
constexpr std::size_t kSearchChunk = 64 * 1024;

// The next offset after `from` where a block header with a good checksum starts, or `end`.
std::uint64_t resync(ByteSource& src, std::uint64_t from, std::uint64_t end, bool& readError) {
    std::vector<std::uint8_t> buf;
    std::uint64_t pos = from;
    while (pos + kBlockHeaderSize <= end) {
        if (!src.read(pos, kSearchChunk + kBlockHeaderSize, buf)) {
            readError = true;
            return end;
        }
        const std::size_t limit =
            buf.size() >= kBlockHeaderSize ? buf.size() - kBlockHeaderSize + 1 : 0;
        for (std::size_t i = 0; i < limit; ++i) {
            if (buf[i] != kBlockMagic[0] || std::memcmp(&buf[i], kBlockMagic.data(), 4) != 0)
                continue;
            const auto h = parseBlockHeader(std::span(buf).subspan(i, kBlockHeaderSize));
            if (h && pos + i + h->totalLength <= end)
                return pos + i;
        }
        if (limit == 0)
            break;
        pos += limit;
    }
    return end;
}

} // namespace

SegmentScan scanSegment(ByteSource& src, bool verifyRecords) {
    SegmentScan scan;
    const std::uint64_t size = src.size();
    std::vector<std::uint8_t> buf;
    if (!src.read(0, 12, buf)) {
        scan.readError = true;
        scan.headerError = "cannot be read";
        return scan;
    }
    const std::size_t headerLength = fileHeaderLength(kSegmentMagic, buf);
    if (headerLength > 0 && !src.read(0, headerLength, buf)) {
        scan.readError = true;
        scan.headerError = "cannot be read";
        return scan;
    }
    auto header = parseFileHeader(kSegmentMagic, buf);
    if (!header) {
        scan.headerError = header.error().message;
        scan.tailBytes = size;
        return scan;
    }
    scan.headerOk = true;
    scan.schema = std::move(header->schema);
    scan.headerLength = header->length;
    scan.validEnd = header->length;

    std::uint64_t pos = header->length;
    while (pos < size) {
        if (!src.read(pos, kBlockHeaderSize + kSummaryGuess, buf)) {
            scan.readError = true;
            break;
        }
        const auto h = parseBlockHeader(buf);
        if (!h || pos + h->totalLength > size) {
            // A torn block at the end, or a damaged stretch: look for the next good header.
            const std::uint64_t next = resync(src, pos + 1, size, scan.readError);
            if (next >= size)
                break; // the rest is the tail
            scan.damaged.push_back({Problem::Kind::Damaged,
                                    {},
                                    pos,
                                    next - pos,
                                    "damaged bytes (no readable block header)"});
            pos = next;
            continue;
        }
        const std::size_t summaryBytes = h->summaryLength + 4;
        if (buf.size() < kBlockHeaderSize + summaryBytes &&
            !src.read(pos, kBlockHeaderSize + summaryBytes, buf)) {
            scan.readError = true;
            break;
        }
        auto summary = parseSummary(std::span(buf).subspan(kBlockHeaderSize, summaryBytes),
                                    scan.schema.columns);
        bool good = summary.has_value();
        const char* what = "checksum";
        if (good && verifyRecords) {
            const std::uint64_t at = pos + kBlockHeaderSize + summaryBytes;
            if (!src.read(at, h->recordsLength + 4, buf)) {
                scan.readError = true;
                break;
            }
            const auto records = decodeRecords(buf, h->count, scan.schema.columns.size());
            good = records.has_value();
            // Each section's checksum holds, yet the summary (which far views are drawn from)
            // or the header's time range does not describe the records.
            if (good && !summaryMatchesRecords(*h, *summary, *records, scan.schema.columns)) {
                good = false;
                what = "summary does not match its records";
            }
        }
        if (!good) {
            scan.damaged.push_back({Problem::Kind::Damaged,
                                    {},
                                    pos,
                                    h->totalLength,
                                    std::string("damaged block (") + what + "), " +
                                        std::to_string(h->count) + " records skipped"});
        } else {
            scan.blocks.push_back({pos, *h, std::move(*summary)});
        }
        pos += h->totalLength;
        scan.validEnd = pos;
    }
    scan.tailBytes = size - std::min(size, scan.validEnd);
    return scan;
}

std::string describeProblem(const Problem& p) {
    return p.file + ": " + p.message + " at byte " + std::to_string(p.offset) + " (" +
           std::to_string(p.length) + " bytes)";
}

} // namespace hq::history
