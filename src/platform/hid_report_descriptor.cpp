#include "platform/hid_report_descriptor.h"

#include <algorithm>
#include <array>
#include <map>
#include <vector>

namespace hq::platform {

namespace {

enum ItemType : std::uint8_t { MainItem = 0, GlobalItem = 1, LocalItem = 2 };

// Tags of the items that matter for lengths.
enum : std::uint8_t {
    TagInput = 0x8,
    TagOutput = 0x9,
    TagCollection = 0xA,
    TagFeature = 0xB,
    TagEndCollection = 0xC,
    TagUsagePage = 0x0,
    TagReportSize = 0x7,
    TagReportId = 0x8,
    TagReportCount = 0x9,
    TagPush = 0xA,
    TagPop = 0xB,
    TagUsage = 0x0,
};

struct GlobalState {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

// Largest report the HID class can carry (and that fits the 16-bit lengths), in bits.
constexpr std::uint64_t kMaxReportBits = 0xFFFEull * 8;
constexpr std::size_t kMaxPushDepth = 64;

} // namespace

std::optional<HidReportLayout> parseReportDescriptor(std::span<const std::uint8_t> descriptor) {
    HidReportLayout layout;
    GlobalState global;
    std::vector<GlobalState> stack;
    // Bits per (kind, report ID); kind 0 input, 1 output, 2 feature.
    std::array<std::map<std::uint8_t, std::uint64_t>, 3> bits;
    std::uint32_t localUsage = 0;
    bool haveLocalUsage = false;
    bool topLevelSeen = false;
    int depth = 0;

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == 0xFE) { // long item: size, tag, data; carries nothing we need
            if (pos + 3 > descriptor.size())
                return std::nullopt;
            const std::size_t size = descriptor[pos + 1];
            if (pos + 3 + size > descriptor.size())
                return std::nullopt;
            pos += 3 + size;
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        const auto type = static_cast<std::uint8_t>((prefix >> 2) & 3);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        if (pos + 1 + size > descriptor.size())
            return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        pos += 1 + size;

        if (type == GlobalItem) {
            switch (tag) {
            case TagUsagePage:
                global.usagePage = value;
                break;
            case TagReportSize:
                global.reportSize = value;
                break;
            case TagReportCount:
                global.reportCount = value;
                break;
            case TagReportId:
                if (value == 0 || value > 0xFF)
                    return std::nullopt;
                global.reportId = static_cast<std::uint8_t>(value);
                layout.numberedReports = true;
                break;
            case TagPush:
                if (stack.size() >= kMaxPushDepth)
                    return std::nullopt;
                stack.push_back(global);
                break;
            case TagPop:
                if (stack.empty())
                    return std::nullopt;
                global = stack.back();
                stack.pop_back();
                break;
            default:
                break;
            }
        } else if (type == LocalItem) {
            if (tag == TagUsage && !haveLocalUsage) {
                localUsage = value;
                haveLocalUsage = true;
            }
        } else if (type == MainItem) {
            int kind = -1;
            if (tag == TagInput)
                kind = 0;
            else if (tag == TagOutput)
                kind = 1;
            else if (tag == TagFeature)
                kind = 2;
            if (kind >= 0) {
                auto& total = bits[static_cast<std::size_t>(kind)][global.reportId];
                total += static_cast<std::uint64_t>(global.reportSize) * global.reportCount;
                if (total > kMaxReportBits)
                    return std::nullopt;
            } else if (tag == TagCollection) {
                if (depth == 0 && !topLevelSeen) {
                    topLevelSeen = true;
                    // A 4-byte usage carries its own page in the upper half.
                    if (haveLocalUsage && localUsage > 0xFFFF) {
                        layout.usagePage = static_cast<std::uint16_t>(localUsage >> 16);
                        layout.usage = static_cast<std::uint16_t>(localUsage);
                    } else {
                        layout.usagePage = static_cast<std::uint16_t>(global.usagePage);
                        layout.usage = static_cast<std::uint16_t>(localUsage);
                    }
                }
                ++depth;
            } else if (tag == TagEndCollection) {
                if (depth == 0)
                    return std::nullopt;
                --depth;
            }
            // Local items apply to the next main item only.
            haveLocalUsage = false;
            localUsage = 0;
        }
    }
    if (depth != 0)
        return std::nullopt;

    auto longest = [](const std::map<std::uint8_t, std::uint64_t>& reports) -> std::uint16_t {
        std::uint64_t best = 0;
        for (const auto& [id, n] : reports)
            best = std::max(best, n);
        if (best == 0)
            return 0;
        return static_cast<std::uint16_t>((best + 7) / 8 + 1);
    };
    layout.inputReportByteLength = longest(bits[0]);
    layout.outputReportByteLength = longest(bits[1]);
    layout.featureReportByteLength = longest(bits[2]);
    return layout;
}

} // namespace hq::platform
