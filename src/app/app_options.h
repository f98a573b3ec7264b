// The command line of the monitor.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace hq::app {

struct AppOptions {
    bool simulate = false;          // the simulated HID platform with the simulated cabinet
    std::optional<int> quitAfterMs; // quit cleanly after this time
    bool help = false;
    QString openChart; // show this chart file in a read-only window instead of the monitor
    QString history;   // show this cabinet's stored history instead of the monitor
};

struct ParsedOptions {
    AppOptions options;
    QString error;    // non-empty: the command line was not understood
    QString helpText; // the --help text
};

// arguments[0] is the program name.
ParsedOptions parseAppOptions(const QStringList& arguments);

} // namespace hq::app
