// The polling of status and record --watch: a status request every interval, the configuration
// first and again after the cabinet came back, waiting for a cabinet that went away.
#pragma once

#include "cli/cabinet_session.h"
#include "cli/commands.h"

#include <chrono>
#include <functional>
#include <optional>

namespace hq::cli {

class PollLoop {
public:
    PollLoop(Context& ctx, CabinetSession& session) : ctx_(ctx), session_(session) {}

    std::chrono::milliseconds interval{1000};
    std::optional<std::chrono::milliseconds> duration; // none: until Ctrl-C
    // Each status record; false ends the loop (e.g. the file cannot be written).
    std::function<bool(const protocol::DecodeResult&)> onRecord;
    // Each configuration reply (read before the first poll and after the cabinet came back);
    // false ends the loop (e.g. the stored history cannot be written).
    std::function<bool(const protocol::ConfigRecord&)> onConfig;
    // A poll brought no record (no answer, write failed, cabinet gone).
    std::function<void()> onMiss;

    // Runs until the duration is over or Ctrl-C (exit code 0), or onRecord refuses (4).
    int run();

private:
    void miss();

    Context& ctx_;
    CabinetSession& session_;
};

} // namespace hq::cli
