#include "history/segment_format.h"

#include "core/crc32.h"
#include "history/codec.h"

#include <algorithm>
#include <cstring>

namespace hq::history {

namespace {

constexpr std::size_t kMaxHeaderBytes = 65535;
constexpr std::size_t kMaxColumns = 255;

std::span<const std::uint8_t> asBytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void putText(std::string& out, const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), 255);
    out.push_back(char(n));
    out.append(text, 0, n);
}

std::string getText(ByteReader& r) {
    const std::uint8_t n = r.u8();
    const auto b = r.bytes(n);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

bool validKind(std::uint8_t k) {
    return k >= std::uint8_t(ColumnKind::U8) && k <= std::uint8_t(ColumnKind::U32);
}

std::uint32_t crcOf(std::span<const std::uint8_t> b) {
    return crc32(b.data(), b.size());
}

} // namespace

std::string encodeFileHeader(const std::array<std::uint8_t, 8>& magic, const FileSchema& schema) {
    std::string h(reinterpret_cast<const char*>(magic.data()), magic.size());
    putU16(h, kFormatVersion);
    putU16(h, 0); // length, filled in below
    putText(h, schema.key);
    putU16(h, std::uint16_t(std::min(schema.columns.size(), kMaxColumns)));
    for (std::size_t i = 0; i < schema.columns.size() && i < kMaxColumns; ++i) {
        const ColumnSpec& c = schema.columns[i];
        putText(h, c.name);
        h.push_back(char(c.kind));
        h.push_back(char(c.bitField ? 1 : 0));
        putU32(h, std::uint32_t(c.divisor));
        putText(h, c.unit);
    }
    const std::uint16_t length = std::uint16_t(h.size() + 4);
    h[10] = char(length & 0xFF);
    h[11] = char(length >> 8);
    putU32(h, crcOf(asBytes(h)));
    return h;
}

std::size_t fileHeaderLength(const std::array<std::uint8_t, 8>& magic,
                             std::span<const std::uint8_t> first12) {
    if (first12.size() < 12 || !std::equal(magic.begin(), magic.end(), first12.begin()))
        return 0;
    return getU16(first12.data() + 10);
}

Expected<ParsedFileHeader> parseFileHeader(const std::array<std::uint8_t, 8>& magic,
                                           std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 12 || !std::equal(magic.begin(), magic.end(), bytes.begin()))
        return failure("not a history file (no signature)");
    const std::uint16_t version = getU16(bytes.data() + 8);
    if (version != kFormatVersion)
        return failure("history file format version " + std::to_string(version) +
                       "; this program reads version " + std::to_string(kFormatVersion));
    const std::size_t length = getU16(bytes.data() + 10);
    if (length < 20 || length > kMaxHeaderBytes)
        return failure("damaged file header (length)");
    if (bytes.size() < length)
        return failure("the file header is incomplete");
    const auto body = bytes.first(length - 4);
    if (crcOf(body) != getU32(bytes.data() + length - 4))
        return failure("damaged file header (checksum)");
    ByteReader r(body.subspan(12));
    ParsedFileHeader p;
    p.length = length;
    p.schema.key = getText(r);
    const std::uint16_t columns = r.u16();
    if (!r.ok() || columns == 0 || columns > kMaxColumns)
        return failure("damaged file header (columns)");
    for (std::uint16_t i = 0; i < columns; ++i) {
        ColumnSpec c;
        c.name = getText(r);
        const std::uint8_t kind = r.u8();
        const std::uint8_t flags = r.u8();
        c.divisor = std::int32_t(r.u32());
        c.unit = getText(r);
        if (!r.ok() || !validKind(kind) || c.name.empty() || c.divisor < 1)
            return failure("damaged file header (column " + std::to_string(i) + ")");
        c.kind = ColumnKind(kind);
        c.bitField = (flags & 1) != 0;
        p.schema.columns.push_back(std::move(c));
    }
    if (!r.atEnd())
        return failure("damaged file header (length)");
    return p;
}

std::string encodeBlock(std::span<const Row> rows, std::uint64_t firstSequence,
                        const std::vector<ColumnSpec>& columns) {
    const std::size_t n = rows.size();
    const std::size_t c = columns.size();
    std::int64_t tmin = n ? rows[0].timeMs : 0, tmax = tmin;
    for (const Row& r : rows) {
        tmin = std::min(tmin, r.timeMs);
        tmax = std::max(tmax, r.timeMs);
    }
    // Summary section.
    std::string summary;
    std::vector<std::int64_t> column(n);
    std::string records;
    for (std::size_t i = 0; i < n; ++i)
        column[i] = rows[i].timeMs;
    std::string encoded;
    encodeColumn(column, encoded);
    putVarint(records, encoded.size());
    records += encoded;
    for (std::size_t k = 0; k < c; ++k) {
        std::int64_t lo = n ? rows[0].values[k] : 0, hi = lo;
        std::uint64_t all = ~std::uint64_t{0}, any = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t v = rows[i].values[k];
            column[i] = v;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            all &= std::uint64_t(v);
            any |= std::uint64_t(v);
        }
        putVarint(summary, zigZag(lo));
        putVarint(summary, zigZag(hi));
        if (columns[k].bitField) {
            putVarint(summary, all);
            putVarint(summary, any);
        }
        encoded.clear();
        encodeColumn(column, encoded);
        putVarint(records, encoded.size());
        records += encoded;
    }
    std::string block(reinterpret_cast<const char*>(kBlockMagic.data()), kBlockMagic.size());
    const std::size_t total = kBlockHeaderSize + summary.size() + 4 + records.size() + 4;
    putU32(block, std::uint32_t(total));
    putU64(block, firstSequence);
    putU32(block, std::uint32_t(n));
    putU64(block, std::uint64_t(tmin));
    putU64(block, std::uint64_t(tmax));
    putU32(block, std::uint32_t(summary.size()));
    putU32(block, std::uint32_t(records.size()));
    putU32(block, crcOf(asBytes(block)));
    block += summary;
    putU32(block, crcOf(asBytes(summary)));
    block += records;
    putU32(block, crcOf(asBytes(records)));
    return block;
}

std::optional<BlockHeader> parseBlockHeader(std::span<const std::uint8_t> b) {
    if (b.size() < kBlockHeaderSize ||
        !std::equal(kBlockMagic.begin(), kBlockMagic.end(), b.begin()))
        return std::nullopt;
    if (crcOf(b.first(44)) != getU32(b.data() + 44))
        return std::nullopt;
    BlockHeader h;
    h.totalLength = getU32(b.data() + 4);
    h.firstSequence = getU64(b.data() + 8);
    h.count = getU32(b.data() + 16);
    h.minTimeMs = std::int64_t(getU64(b.data() + 20));
    h.maxTimeMs = std::int64_t(getU64(b.data() + 28));
    h.summaryLength = getU32(b.data() + 36);
    h.recordsLength = getU32(b.data() + 40);
    const std::uint64_t expected =
        std::uint64_t(kBlockHeaderSize) + h.summaryLength + 4 + h.recordsLength + 4;
    if (h.count == 0 || h.count > kMaxBlockRecords || h.totalLength > kMaxBlockBytes ||
        expected != h.totalLength || h.minTimeMs > h.maxTimeMs)
        return std::nullopt;
    return h;
}

std::optional<BlockSummary> parseSummary(std::span<const std::uint8_t> b,
                                         const std::vector<ColumnSpec>& columns) {
    if (b.size() < 4)
        return std::nullopt;
    const auto body = b.first(b.size() - 4);
    if (crcOf(body) != getU32(b.data() + body.size()))
        return std::nullopt;
    ByteReader r(body);
    BlockSummary s(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
        s[k].min = r.signedVarint();
        s[k].max = r.signedVarint();
        if (columns[k].bitField) {
            s[k].allOf = r.varint();
            s[k].anyOf = r.varint();
        }
        if (s[k].min > s[k].max)
            return std::nullopt;
    }
    if (!r.ok() || !r.atEnd())
        return std::nullopt;
    return s;
}

bool recordsChecksumOk(std::span<const std::uint8_t> b) {
    if (b.size() < 4)
        return false;
    const auto body = b.first(b.size() - 4);
    return crcOf(body) == getU32(b.data() + body.size());
}

std::optional<DecodedColumns> decodeRecords(std::span<const std::uint8_t> b, std::uint32_t count,
                                            std::size_t columnCount) {
    if (!recordsChecksumOk(b) || count == 0 || count > kMaxBlockRecords)
        return std::nullopt;
    ByteReader r(b.first(b.size() - 4));
    DecodedColumns d;
    auto column = [&](std::vector<std::int64_t>& out) {
        const std::uint64_t len = r.varint();
        if (!r.ok() || len > r.remaining())
            return false;
        out.resize(count);
        return decodeColumn(r.bytes(std::size_t(len)), out);
    };
    if (!column(d.time))
        return std::nullopt;
    d.fields.resize(columnCount);
    for (auto& f : d.fields)
        if (!column(f))
            return std::nullopt;
    if (!r.atEnd())
        return std::nullopt;
    return d;
}

bool summaryMatchesRecords(const BlockHeader& header, const BlockSummary& summary,
                           const DecodedColumns& records, const std::vector<ColumnSpec>& columns) {
    const std::size_t n = records.time.size();
    if (n == 0 || n != header.count || summary.size() != columns.size() ||
        records.fields.size() != columns.size())
        return false;
    const auto [tmin, tmax] = std::minmax_element(records.time.begin(), records.time.end());
    if (*tmin != header.minTimeMs || *tmax != header.maxTimeMs)
        return false;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::vector<std::int64_t>& v = records.fields[k];
        if (v.size() != n)
            return false;
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        if (*lo != summary[k].min || *hi != summary[k].max)
            return false;
        if (columns[k].bitField) {
            std::uint64_t all = ~std::uint64_t{0}, any = 0;
            for (const std::int64_t x : v) {
                all &= std::uint64_t(x);
                any |= std::uint64_t(x);
            }
            if (all != summary[k].allOf || any != summary[k].anyOf)
                return false;
        }
    }
    return true;
}

std::size_t journalEntrySize(std::size_t columnCount) {
    return 8 + 8 + 4 * columnCount + 4;
}

void encodeJournalEntry(std::uint64_t sequence, const Row& row, std::size_t columnCount,
                        std::string& out) {
    const std::size_t start = out.size();
    putU64(out, sequence);
    putU64(out, std::uint64_t(row.timeMs));
    for (std::size_t k = 0; k < columnCount; ++k)
        putU32(out, std::uint32_t(row.values[k]));
    putU32(out, crc32(out.data() + start, out.size() - start));
}

std::optional<JournalEntry> parseJournalEntry(std::span<const std::uint8_t> b,
                                              const std::vector<ColumnSpec>& columns) {
    const std::size_t size = journalEntrySize(columns.size());
    if (b.size() < size || crc32(b.data(), size - 4) != getU32(b.data() + size - 4))
        return std::nullopt;
    JournalEntry e;
    e.sequence = getU64(b.data());
    e.timeMs = std::int64_t(getU64(b.data() + 8));
    e.values.resize(columns.size());
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::uint32_t u = getU32(b.data() + 16 + 4 * k);
        e.values[k] =
            columns[k].kind == ColumnKind::S16 ? std::int64_t(std::int32_t(u)) : std::int64_t(u);
    }
    return e;
}

std::vector<int> columnMap(const std::vector<ColumnSpec>& fileColumns) {
    const auto& current = statusColumns();
    std::vector<int> map(current.size(), -1);
    for (std::size_t i = 0; i < current.size(); ++i)
        for (std::size_t k = 0; k < fileColumns.size(); ++k)
            if (fileColumns[k].name == current[i].name) {
                map[i] = int(k);
                break;
            }
    return map;
}

} // namespace hq::history
