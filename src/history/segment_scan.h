// Walking a segment file block by block: what is readable, what is damaged, where a torn tail
// begins. Reads through a ByteSource, so files are read piece by piece (the block headers and
// summaries only, unless the records are to be verified too) and tests and the fuzz target can
// scan bytes in memory.
#pragma once

#include "history/segment_format.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hq::history {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Up to n bytes from offset into out (fewer at the end); false on a read error.
    virtual bool read(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) = 0;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) override;

private:
    std::span<const std::uint8_t> bytes_;
};

struct Problem {
    enum class Kind {
        Torn,    // the file ends inside a block (power loss, a writer still at work)
        Damaged, // a block or stretch whose checksum fails; skipped
        Unreadable,
    };
    Kind kind = Kind::Damaged;
    std::string file;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string message; // for people
};

struct ScannedBlock {
    std::uint64_t offset = 0;
    BlockHeader header;
    BlockSummary summary;
};

struct SegmentScan {
    bool headerOk = false;
    std::string headerError;
    FileSchema schema;
    std::uint64_t headerLength = 0;
    std::vector<ScannedBlock> blocks;
    std::vector<Problem> damaged; // damaged stretches between readable blocks
    std::uint64_t validEnd = 0;   // end of the last readable block (or of the header)
    std::uint64_t tailBytes = 0;  // bytes after validEnd that make no complete block
    bool readError = false;
};

// Scans a segment. verifyRecords: also check every block's records checksum, and that its summary
// and time range are those of its records (hq3746ctl history check, the writer's own last
// segment); otherwise only headers and summaries are read.
SegmentScan scanSegment(ByteSource& source, bool verifyRecords);

// A problem's text: "<file>: <what> at byte <offset> (<length> bytes)".
std::string describeProblem(const Problem& p);

} // namespace hq::history
