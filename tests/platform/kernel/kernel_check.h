// What the kernel test's checks share: one CHECK line per check on the serial console, and a
// wait that keeps the event loop running.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>
#include <functional>
#include <string>

namespace hq::kerneltest {

// Generous for software emulation.
inline constexpr int kTimeoutMs = 15000;

class Checker {
public:
    Checker() { clock_.start(); }
    // Callers evaluate ok before building detail (argument order is unspecified).
    bool operator()(bool ok, const std::string& what, const std::string& detail = {}) {
        std::printf("CHECK %-4s %6.2f s  %s%s%s\n", ok ? "ok" : "FAIL",
                    static_cast<double>(clock_.elapsed()) / 1000.0, what.c_str(),
                    detail.empty() ? "" : ": ", detail.c_str());
        std::fflush(stdout);
        if (!ok)
            ++failures_;
        return ok;
    }
    int failures() const { return failures_; }

private:
    QElapsedTimer clock_;
    int failures_ = 0;
};

inline bool waitFor(const std::function<bool()>& done, int ms = kTimeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

} // namespace hq::kerneltest
