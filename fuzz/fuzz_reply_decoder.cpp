// Feeds arbitrary byte strings to the reply decoder, several reports in a row so that the
// firmware version carried from one configuration reply to the next is exercised, and the
// same bytes to the simulated cabinet as output reports.
//
// Input layout: a sequence of chunks, each a length byte followed by up to that many bytes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "protocol/decoder.h"
#include "protocol/fields.h"
#include "sim/cabinet.h"

namespace {
void check(bool ok) {
    if (!ok)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace hq;
    const auto fixed = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
    protocol::ReplyDecoder decoder([fixed] { return fixed; });
    sim::CabinetOptions options;
    options.randomDoor = false;
    sim::Cabinet cabinet(options, [fixed] { return fixed; });

    std::span<const std::uint8_t> in(data, size);
    while (!in.empty()) {
        const std::size_t len = std::min<std::size_t>(in[0], in.size() - 1);
        const auto chunk = in.subspan(1, len);
        in = in.subspan(1 + len);

        const protocol::DecodeResult r = decoder.decode(chunk);
        if (r.ignored()) {
            check(r.lines.empty() && !r.clearPane && !r.followUp);
        } else {
            check(!r.lines.empty());
            check(r.firmwareVersion == decoder.firmwareVersion());
            if (const auto* s = std::get_if<protocol::I2cScanRecord>(&r.record))
                check(s->addresses.size() <= protocol::kMaxI2cAddresses &&
                      s->addresses.size() <= s->count);
            if (std::holds_alternative<protocol::StatusRecord>(r.record))
                check(r.lines.size() == 20);
        }
        check(!protocol::toJson(r).empty());

        for (const auto& answer : cabinet.handleOutputReport(chunk))
            check(!decoder.decode(answer).ignored());
    }
    return 0;
}
