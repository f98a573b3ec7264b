// hq3746ctl: the command-line tool for scripting a cabinet without a window. run() carries out
// one command line; everything it needs from outside comes in through Environment, so that
// tests run every command in process against the simulated cabinet.
#pragma once

#include "cli/cli_args.h"
#include "platform/hid_platform.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>

namespace hq::cli {

// Where the device commands find their HID interfaces.
class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;
    virtual platform::HidPlatform& platform() = 0;
};

// The operating system's HID interfaces.
std::unique_ptr<DeviceBackend> makeNativeBackend();
// Simulated cabinets on a simulated HID bus, driven by the event loop (reset and bootloader
// take one off the bus and bring it back as the real controller does). The first has the serial
// number 12345678 (USB serial "HQ0012345678"), the others the numbers that follow.
std::unique_ptr<DeviceBackend> makeSimulatedBackend(int cabinets = 1);

struct Environment {
    std::ostream* out = nullptr; // UTF-8 text
    std::ostream* err = nullptr; // one-line messages
    std::istream* in = nullptr;  // "decode -" reads reports from here; null: none
    // The backend for the device commands; simulate is --simulate. Null result: none available.
    std::function<std::unique_ptr<DeviceBackend>(bool simulate)> backend;
    // Several simulated cabinets on one bus (serve and publish with --simulate --cabinets N).
    std::function<std::unique_ptr<DeviceBackend>(int count)> simulatedCabinets;
    // The PC clock (clock --set, frame clock without --at).
    std::function<std::chrono::system_clock::time_point()> now;
    // Directory of the executable, with a trailing separator (upload's default image).
    QString applicationDir;
    // Raised by Ctrl-C; record and status --watch end cleanly, other waits give up.
    const std::atomic<bool>* interrupt = nullptr;
};

// The defaults: std::cout/std::cerr/std::cin, native or simulated backend, system clock.
Environment defaultEnvironment(const QString& applicationDir, const std::atomic<bool>* interrupt);

// Runs one command line (the arguments after the program name); returns the exit code.
int run(const QStringList& arguments, Environment& env);

// The full help text (also the source of the manual page), and the part for one command.
QString helpText();
QString commandHelp(const QString& command);


} // namespace hq::cli
