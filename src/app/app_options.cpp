#include "app/app_options.h"

#include <QCommandLineParser>

namespace hq::app {

ParsedOptions parseAppOptions(const QStringList& arguments) {
    ParsedOptions parsed;
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Monitor and service tool for the HQ3746 drying cabinet."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Use the built-in simulated cabinet instead of the USB devices."));
    const QCommandLineOption quitAfter(
        QStringLiteral("quit-after"),
        QStringLiteral("Quit cleanly after <milliseconds> (for checks and screenshots)."),
        QStringLiteral("milliseconds"));
    const QCommandLineOption openChart(
        QStringLiteral("open-chart"),
        QStringLiteral("Show the chart file <file> in a read-only chart window only."),
        QStringLiteral("file"));
    const QCommandLineOption history(
        QStringLiteral("history"),
        QStringLiteral("Show the stored history of the cabinet with serial number <serial> "
                       "(its folder name) only."),
        QStringLiteral("serial"));
    parser.addOption(help);
    parser.addOption(openChart);
    parser.addOption(history);
    parser.addOption(simulate);
    parser.addOption(quitAfter);
    // The usage line names the program, whatever the running executable is called.
    const QString usage = parser.helpText();
    parsed.helpText = QStringLiteral("Usage: hq3746-monitor [options]") +
                      usage.mid(usage.indexOf(QLatin1Char('\n')));

    if (!parser.parse(arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.error =
            QStringLiteral("Unexpected argument: ") + parser.positionalArguments().first();
        return parsed;
    }
    parsed.options.help = parser.isSet(help);
    parsed.options.simulate = parser.isSet(simulate);
    parsed.options.openChart = parser.value(openChart);
    parsed.options.history = parser.value(history);
    if (parser.isSet(quitAfter)) {
        bool ok = false;
        const int ms = parser.value(quitAfter).toInt(&ok);
        if (!ok || ms < 0) {
            parsed.error = QStringLiteral("--quit-after needs a number of milliseconds, not \"") +
                           parser.value(quitAfter) + QLatin1Char('"');
            return parsed;
        }
        parsed.options.quitAfterMs = ms;
    }
    return parsed;
}

} // namespace hq::app
