// Shared set-ups of the stored-history tests: rows that tell their own index, writing them into
// a cabinet folder, reading a folder back.
#pragma once

#include "history/archive_reader.h"
#include "history/archive_writer.h"
#include "history/columns.h"

#include <QTest>

#include <cstdint>
#include <string>
#include <vector>

namespace hq::testing {

// Row i: time base + 10 ms * i, and fields that all depend on i. The default base lies in
// 2096, so the writer's retention (measured from today) never drops the rows of a test.
inline history::Row IndexedRow(std::uint64_t i, std::int64_t baseMs = 4'000'000'000'000) {
    history::Row r;
    r.timeMs = baseMs + std::int64_t(i) * 10;
    const auto& cols = history::StatusColumns();
    for (std::size_t k = 0; k < cols.size(); ++k) {
        const std::int64_t span = history::KindMax(cols[k].kind) - history::KindMin(cols[k].kind);
        r.values[k] = history::KindMin(cols[k].kind) +
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

} // namespace hq::testing
