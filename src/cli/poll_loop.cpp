#include "cli/poll_loop.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace hq::cli {

namespace {
using namespace std::chrono;
using Steady = steady_clock;
} // namespace

void PollLoop::miss() {
    if (onMiss)
        onMiss();
}

int PollLoop::run() {
    // Without a duration the loop runs until Ctrl-C.
    const bool bounded = duration.has_value();
    const Steady::time_point end = bounded ? Steady::now() + *duration : Steady::time_point::max();
    auto left = [&]() -> milliseconds {
        if (!bounded)
            return milliseconds::max();
        return std::max(milliseconds(0), duration_cast<milliseconds>(end - Steady::now()));
    };
    auto over = [&] { return ctx_.interrupted() || (bounded && Steady::now() >= end); };

    bool needConfig = true;
    bool silentNoted = false; // one message per stretch without answers
    auto next = Steady::now();
    while (!over()) {
        if (!session_.connected()) {
            miss();
            ctx_.note(QStringLiteral("the cabinet went away; waiting for it to come back"));
            const WaitStatus back = session_.waitForReturn(
                bounded ? std::max(left(), milliseconds(1)) : milliseconds(0));
            if (back != WaitStatus::Ok)
                break;
            ctx_.note(QStringLiteral("the cabinet is back"));
            needConfig = true;
            silentNoted = false;
            next = Steady::now();
        }
        const milliseconds wait = std::min(ctx_.timeout, std::max(left(), milliseconds(1)));
        RequestResult r;
        if (needConfig) {
            // The configuration sets the firmware version, which decides the record's layout;
            // without it no status record is read (it would be decoded in the wrong layout), and
            // the next poll asks again.
            r = session_.request(protocol::configRequest(), protocol::reply::kConfig, wait);
            needConfig = r.status != WaitStatus::Ok;
            if (!needConfig && onConfig)
                if (const auto* c = std::get_if<protocol::ConfigRecord>(&r.reply.record);
                    c && !onConfig(*c))
                    return exitcode::kDeviceError;
        }
        if (!needConfig)
            r = session_.request(protocol::statusRequest(), protocol::reply::kStatus, wait);
        switch (r.status) {
        case WaitStatus::Ok:
            silentNoted = false;
            if (onRecord && !onRecord(r.reply))
                return exitcode::kDeviceError;
            break;
        case WaitStatus::Interrupted:
            return exitcode::kOk;
        case WaitStatus::Gone:
            continue; // waited for at the top
        case WaitStatus::Timeout:
        case WaitStatus::WriteFailed:
            miss();
            if (!silentNoted)
                ctx_.note(r.status == WaitStatus::Timeout
                              ? QStringLiteral("the cabinet does not answer; still trying")
                              : QStringLiteral("writing to the cabinet failed (%1); still trying")
                                    .arg(r.detail));
            silentNoted = true;
            break;
        }
        // The next poll on the interval's grid; polls that were missed are skipped.
        next += interval;
        const auto now = Steady::now();
        if (next < now)
            next = now + interval - (duration_cast<milliseconds>(now - next) % interval);
        // No poll is due within the duration any more.
        if (bounded && next >= end)
            break;
        const auto pauseFor = duration_cast<milliseconds>(next - now);
        if (pauseFor.count() > 0 && !session_.pause(pauseFor))
            break;
    }
    return exitcode::kOk;
}

} // namespace hq::cli
