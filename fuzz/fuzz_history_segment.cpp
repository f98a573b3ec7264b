// Feeds arbitrary bytes to the stored history's segment reader (the scan of block headers and
// summaries, the records of every block it accepts) and to the journal reader. Whatever is
// accepted must be consistent: block records as many as the header says, summaries that hold
// the decoded values.
#include "history/segment_format.h"
#include "history/segment_scan.h"

#include <cstdint>
#include <cstdlib>
#include <span>

using namespace hq::history;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    MemorySource source(bytes);
    const SegmentScan scan = ScanSegment(source, /*verifyRecords=*/false);
    if (scan.validEnd > size)
        std::abort();
    for (const ScannedBlock& b : scan.blocks) {
        if (b.offset + b.header.totalLength > size)
            std::abort();
        const auto records = bytes.subspan(b.offset + kBlockHeaderSize + b.header.summaryLength + 4,
                                           b.header.recordsLength + 4);
        const auto cols = DecodeRecords(records, b.header.count, scan.schema.columns.size());
        if (!cols)
            continue;
        if (cols->time.size() != b.header.count ||
            cols->fields.size() != scan.schema.columns.size())
            std::abort();
        for (const auto& f : cols->fields)
            if (f.size() != b.header.count)
                std::abort();
    }
    // The same bytes as a journal.
    if (auto header = ParseFileHeader(kJournalMagic, bytes)) {
        const std::size_t entry = JournalEntrySize(header->schema.columns.size());
        for (std::size_t at = header->length; at + entry <= size; at += entry)
            (void)ParseJournalEntry(bytes.subspan(at, entry), header->schema.columns);
    }
    return 0;
}
