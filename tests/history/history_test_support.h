// Shared set-ups of the stored-history tests: rows that tell their own index, writing them into
// a cabinet folder, reading a folder back.
#pragma once

#include "core/crc32.h"
#include "history/archive_reader.h"
#include "history/archive_writer.h"
#include "history/codec.h"
#include "history/columns.h"
#include "history/segment_format.h"

#include <QTest>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace hq::testing {

// Row i: time base + 10 ms * i, and fields that all depend on i. The default base lies in
// 2096, so the writer's retention (measured from today) never drops the rows of a test.
inline history::Row IndexedRow(std::uint64_t i, std::int64_t baseMs = 4'000'000'000'000) {
    history::Row r;
    r.timeMs = baseMs + std::int64_t(i) * 10;
    const auto& cols = history::statusColumns();
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const std::int64_t span = history::kindMax(cols[k].kind) - history::kindMin(cols[k].kind);
        r.values[k] = history::kindMin(cols[k].kind) +
                      std::int64_t((i * (k + 1) + (i >> 5) * 7) % std::uint64_t(span + 1));
    }
    return r;
}

inline history::WriterOptions SmallBlocks(std::uint32_t rows = 64) {
    history::WriterOptions o;
    o.blockRecords = rows;
    return o;
}

// Every row of a folder in stored order (blocks, then the journal's rows).
inline std::vector<history::Row> ReadAll(history::ArchiveReader& reader) {
    std::vector<history::Row> all;
    for (std::size_t b = 0; b < reader.blocks().size();) {
        auto rows = reader.readBlock(b);
        if (!rows)
            continue; // dropped from the index; the same index is the next block now
        all.insert(all.end(), rows->begin(), rows->end());
        ++b;
    }
    all.insert(all.end(), reader.tail().begin(), reader.tail().end());
    return all;
}

inline void WriteRows(const QString& dir, std::uint64_t from, std::uint64_t to,
                      const history::WriterOptions& options = SmallBlocks()) {
    std::vector<std::string> notices;
    auto w = history::ArchiveWriter::open(dir, "12345678", options, notices);
    QVERIFY2(w.ok(), w.ok() ? "" : w.error().message.c_str());
    for (std::uint64_t i = from; i < to; ++i)
        QVERIFY((*w)->append(IndexedRow(i)).ok());
    QVERIFY((*w)->close().ok());
}

// A block of `rows` as the writer makes it, then its header fields or summary changed by
// `change` and written out again by hand in the layout docs/history.md gives (header, summary
// and its checksum, the records and their checksum as they were), every checksum right: what
// only comparing the summary with the records can find.
inline std::string
ResealedBlock(std::span<const history::Row> rows, std::uint64_t firstSequence,
              const std::function<void(history::BlockHeader&, history::BlockSummary&)>& change) {
    using namespace history;
    const auto& columns = statusColumns();
    const std::string good = encodeBlock(rows, firstSequence, columns);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(good.data()),
                                              good.size());
    BlockHeader h = *parseBlockHeader(bytes.first(kBlockHeaderSize));
    BlockSummary summary =
        *parseSummary(bytes.subspan(kBlockHeaderSize, h.summaryLength + 4), columns);
    const std::string records = good.substr(kBlockHeaderSize + h.summaryLength + 4);
    change(h, summary);
    std::string body;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        putVarint(body, zigZag(summary[k].min));
        putVarint(body, zigZag(summary[k].max));
        if (columns[k].bitField) {
            putVarint(body, summary[k].allOf);
            putVarint(body, summary[k].anyOf);
        }
    }
    std::string block = "HQBK";
    putU32(block, std::uint32_t(kBlockHeaderSize + body.size() + 4 + records.size()));
    putU64(block, h.firstSequence);
    putU32(block, h.count);
    putU64(block, std::uint64_t(h.minTimeMs));
    putU64(block, std::uint64_t(h.maxTimeMs));
    putU32(block, std::uint32_t(body.size()));
    putU32(block, std::uint32_t(records.size() - 4));
    putU32(block, crc32(block.data(), block.size()));
    block += body;
    putU32(block, crc32(body.data(), body.size()));
    block += records;
    return block;
}

} // namespace hq::testing
