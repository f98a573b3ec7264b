// The file formats of the stored history (docs/history.md): segment files of checksummed blocks
// of encoded columns, and the journal of the block being filled. Pure functions over bytes,
// standard library only; the reading side never trusts its input.
#pragma once

#include "core/expected.h"
#include "history/columns.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hq::history {

inline constexpr std::array<std::uint8_t, 8> kSegmentMagic = {'H', 'Q', 'H',  'I',
                                                              'S', 'T', 0x1A, 0x0A};
inline constexpr std::array<std::uint8_t, 8> kJournalMagic = {'H', 'Q', 'J',  'R',
                                                              'N', 'L', 0x1A, 0x0A};
inline constexpr std::array<std::uint8_t, 4> kBlockMagic = {'H', 'Q', 'B', 'K'};
inline constexpr std::uint16_t kFormatVersion = 1;
inline constexpr std::size_t kBlockHeaderSize = 48;
inline constexpr std::uint32_t kMaxBlockRecords = 65536;
inline constexpr std::uint32_t kMaxBlockBytes = 64u << 20;

// What a segment or journal file holds: whose records, and the columns of its blocks or entries.
struct FileSchema {
    std::string key; // the cabinet's key (serial number, USB serial text or "unknown")
    std::vector<ColumnSpec> columns;
    friend bool operator==(const FileSchema&, const FileSchema&) = default;
};

// The header of a segment (magic kSegmentMagic) or a journal (kJournalMagic).
std::string encodeFileHeader(const std::array<std::uint8_t, 8>& magic, const FileSchema& schema);
struct ParsedFileHeader {
    FileSchema schema;
    std::size_t length = 0; // bytes of the header, where the blocks or entries start
};
// Needs the whole header in `bytes` (its length is at offset 10). Errors name what is wrong.
Expected<ParsedFileHeader> parseFileHeader(const std::array<std::uint8_t, 8>& magic,
                                           std::span<const std::uint8_t> bytes);
// Bytes needed to parse a header whose first 12 bytes are given (0 when they cannot start one).
std::size_t fileHeaderLength(const std::array<std::uint8_t, 8>& magic,
                             std::span<const std::uint8_t> first12);

struct BlockHeader {
    std::uint32_t totalLength = 0; // from the magic to the end of the records' checksum
    std::uint64_t firstSequence = 0;
    std::uint32_t count = 0;
    std::int64_t minTimeMs = 0;
    std::int64_t maxTimeMs = 0;
    std::uint32_t summaryLength = 0;
    std::uint32_t recordsLength = 0;
    std::uint64_t endSequence() const { return firstSequence + count; }
};

// Per field column over a block: smallest, largest, and for bit fields the AND and the OR.
struct ColumnSummary {
    std::int64_t min = 0;
    std::int64_t max = 0;
    std::uint64_t allOf = 0; // AND (bit fields only)
    std::uint64_t anyOf = 0; // OR (bit fields only)
    friend bool operator==(const ColumnSummary&, const ColumnSummary&) = default;
};
using BlockSummary = std::vector<ColumnSummary>;

// Encodes rows (1 to kMaxBlockRecords, in the order received) as one block.
std::string encodeBlock(std::span<const Row> rows, std::uint64_t firstSequence,
                        const std::vector<ColumnSpec>& columns);
// The 48 bytes of a block header: magic, lengths and header checksum verified.
std::optional<BlockHeader> parseBlockHeader(std::span<const std::uint8_t> bytes48);
// The summary section with its checksum (summaryLength + 4 bytes).
std::optional<BlockSummary> parseSummary(std::span<const std::uint8_t> bytes,
                                         const std::vector<ColumnSpec>& columns);
// The records section with its checksum (recordsLength + 4 bytes): the time column and the
// field columns in the file's column order, `count` values each, or nothing when damaged.
struct DecodedColumns {
    std::vector<std::int64_t> time;
    std::vector<std::vector<std::int64_t>> fields;
};
std::optional<DecodedColumns> decodeRecords(std::span<const std::uint8_t> bytes,
                                            std::uint32_t count, std::size_t columnCount);
bool recordsChecksumOk(std::span<const std::uint8_t> bytes);
// Whether the header's count and time range and the summary are exactly those of the decoded
// records, as EncodeBlock writes them. The checksums cannot tell: each covers its own section.
bool summaryMatchesRecords(const BlockHeader& header, const BlockSummary& summary,
                           const DecodedColumns& records, const std::vector<ColumnSpec>& columns);

// Journal entries: sequence, time and one 32-bit value per column, with a checksum.
std::size_t journalEntrySize(std::size_t columnCount);
void encodeJournalEntry(std::uint64_t sequence, const Row& row, std::size_t columnCount,
                        std::string& out);
struct JournalEntry {
    std::uint64_t sequence = 0;
    std::int64_t timeMs = 0;
    std::vector<std::int64_t> values; // in the file's column order
};
std::optional<JournalEntry> parseJournalEntry(std::span<const std::uint8_t> bytes,
                                              const std::vector<ColumnSpec>& columns);

// Maps a file's columns onto the current ones: for each current column the file's index, or -1.
std::vector<int> columnMap(const std::vector<ColumnSpec>& fileColumns);

} // namespace hq::history
