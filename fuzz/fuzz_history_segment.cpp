// Feeds arbitrary bytes to the stored history's segment reader (the scan of block headers and
// summaries, and the scan that also verifies every block's records) and to the journal reader.
// Whatever is accepted must be consistent: the blocks the verifying scan accepts hold as many
// records per column as their header says, and their summaries and time ranges are exactly
// those of the decoded records (worked out here again); it accepts no block the plain scan
// rejects.
#include "fuzz_check.h"
#include "history/segment_format.h"
#include "history/segment_scan.h"

#include <algorithm>
#include <cstdint>
#include <span>

using namespace hq::history;
using hq::fuzz::check;

namespace {

// The records of an accepted block against its header and summary, computed independently of
// the reader's own check.
void checkBlock(std::span<const std::uint8_t> bytes, const ScannedBlock& b,
                const FileSchema& schema) {
    check(b.offset + b.header.totalLength <= bytes.size());
    const auto records = bytes.subspan(b.offset + kBlockHeaderSize + b.header.summaryLength + 4,
                                       b.header.recordsLength + 4);
    const auto cols = decodeRecords(records, b.header.count, schema.columns.size());
    check(cols.has_value()); // the verifying scan decoded it
    check(cols->time.size() == b.header.count);
    check(cols->fields.size() == schema.columns.size());
    check(b.summary.size() == schema.columns.size());
    check(*std::min_element(cols->time.begin(), cols->time.end()) == b.header.minTimeMs);
    check(*std::max_element(cols->time.begin(), cols->time.end()) == b.header.maxTimeMs);
    for (std::size_t k = 0; k < cols->fields.size(); ++k) {
        const auto& f = cols->fields[k];
        check(f.size() == b.header.count);
        std::int64_t lo = f[0], hi = f[0];
        std::uint64_t all = ~std::uint64_t{0}, any = 0;
        for (const std::int64_t v : f) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            all &= std::uint64_t(v);
            any |= std::uint64_t(v);
        }
        check(b.summary[k].min == lo && b.summary[k].max == hi);
        if (schema.columns[k].bitField)
            check(b.summary[k].allOf == all && b.summary[k].anyOf == any);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    MemorySource source(bytes);
    const SegmentScan scan = scanSegment(source, /*verifyRecords=*/false);
    check(scan.validEnd <= size);
    for (const ScannedBlock& b : scan.blocks) {
        check(b.offset + b.header.totalLength <= size);
        const auto records = bytes.subspan(b.offset + kBlockHeaderSize + b.header.summaryLength + 4,
                                           b.header.recordsLength + 4);
        const auto cols = decodeRecords(records, b.header.count, scan.schema.columns.size());
        if (!cols)
            continue;
        check(cols->time.size() == b.header.count &&
              cols->fields.size() == scan.schema.columns.size());
        for (const auto& f : cols->fields)
            check(f.size() == b.header.count);
    }
    // The verifying scan: every block it accepts is consistent, and the plain scan accepted it
    // too (at the same place).
    MemorySource again(bytes);
    const SegmentScan verified = scanSegment(again, /*verifyRecords=*/true);
    check(verified.validEnd <= size);
    for (const ScannedBlock& b : verified.blocks) {
        checkBlock(bytes, b, verified.schema);
        check(std::any_of(scan.blocks.begin(), scan.blocks.end(),
                          [&](const ScannedBlock& p) { return p.offset == b.offset; }));
    }
    // The same bytes as a journal.
    if (auto header = parseFileHeader(kJournalMagic, bytes)) {
        const std::size_t entry = journalEntrySize(header->schema.columns.size());
        for (std::size_t at = header->length; at + entry <= size; at += entry)
            (void)parseJournalEntry(bytes.subspan(at, entry), header->schema.columns);
    }
    return 0;
}
