#include "cli/cli.h"

#include "cabinet/identity.h"
#include "cli/commands.h"
#include "fleet/mqtt_connection.h"

#include <QRegularExpression>

#include <cmath>
#include <ostream>

namespace hq::cli {

namespace {

const char kHelp[] = R"(NAME
    hq3746ctl - command-line tool for the HQ3746 drying cabinet

SYNOPSIS
    hq3746ctl [GLOBAL OPTIONS] COMMAND [ARGUMENTS] [OPTIONS]

DESCRIPTION
    Reads and sets a drying cabinet over USB, records its readings to a CSV file, decodes
    captured reports, builds command frames, finds cabinets on the network and uploads a web
    image. Options may stand before or after the command; "--opt value" and "--opt=value" are
    both accepted.

GLOBAL OPTIONS
    --simulate      Use a simulated cabinet in process instead of the USB bus.
    --serial S      Use the cabinet whose USB serial-number string is S (needed when several
                    cabinets are attached).
    --json          Print JSON instead of text.
    --timeout S     Give up waiting for an answer after S seconds (default 2; upload: 120).
                    A request that changes nothing is asked once more after S/2 seconds.
    --help, -h      Print this help, or with a command the help of that command.

COMMANDS
    list
        The attached cabinets: vendor and product ID, product and serial-number strings, path.
        A cabinet without read-write access is marked with the reason.

    status [--watch] [--interval S]
        Asks for a status record ("v") and prints the message-pane lines the monitor shows,
        then the humidity at the top and at the bottom in % r.H. and the cabinet's address.
        The configuration ("@") is read first, since the firmware version decides the layout
        of the record. --watch repeats every S seconds (default 1) until Ctrl-C; a cabinet
        that goes away is waited for.

    config
        Asks for the configuration ("@") and the web image version ("u") that follows it and
        prints the settings and identity the monitor shows: door alarm time and restart delay
        in minutes, return-air monitoring, firmware version (V.:), serial number (N#), MAC
        address (MAC:) and web image version (MPFS:).

    set --door-alarm MIN --restart-delay MIN [--return-air on|off]
        Writes the settings ("A"): door alarm time 5 to 60 minutes, restart delay 0 to 60
        minutes. Values out of range are refused. Without --return-air the configuration is
        read first and the cabinet's current return-air monitoring is kept.

    clock [--set]
        Reads the cabinet's clock ("3") and prints it beside the PC clock (TR Zeit, PC Zeit).
        With --set, sets the cabinet's clock from the PC clock ("2") instead.

    reset
        Resets the controller (0xFF). The cabinet leaves the USB bus for a moment.

    serial NUMBER
        Writes the cabinet's serial number ("x"), a 32-bit number.

    disp-ldr
        Sends the "Disp LDR" command ("w").

    wdt-test
        Sends the "WDT Testen" command (0xFD).

    bootloader
        Makes the controller enter its bootloader (0xFE). The cabinet leaves the bus until the
        firmware update program has finished; this tool does not start that program.

    record --csv FILE [--history] [--duration S] [--interval S]
    record --history [--duration S] [--interval S]
        Polls status records every S seconds (default 1) and appends them to FILE in the CSV
        layout of the chart's CSV export (docs/csv_export.md), writing the header to a new
        file. Every record is written and flushed as one complete line, so a crash or kill
        loses nothing already written. When the cabinet goes away (unplugged, reset) or stops
        answering, recording waits for it and resumes; the missing stretch is marked with a
        line "# gap from TIME to TIME". Ends after --duration S, on Ctrl-C or on SIGTERM.
        --history (also together with --csv) keeps every record in the cabinet's stored
        history, the same store the monitor writes (docs/history.md); it is refused while
        another program writes that cabinet's history.

    decode HEX...
        Decodes input reports given as hex, one argument per report (64 data bytes without the
        report ID; blanks between the bytes allowed; shorter reports read as zero-filled; "-"
        reads one report per line from standard input). The reports are decoded in order and
        the firmware version of a configuration reply applies to the reports after it, as in
        the monitor. Prints each report's message-pane lines; with --json one object per
        report with code, lines, clear, followUp and record.

    frame settings --door-alarm MIN --restart-delay MIN --return-air on|off [--report N]
    frame clock [--at YYYY-MM-DDTHH:MM:SS] [--report N]
    frame serial NUMBER [--report N]
    frame raw CODE [--report N]
        Prints a command frame as upper-case hex bytes separated by single blanks. clock uses
        the PC clock without --at. raw takes a one-byte command: one character (v, @, u, 3, w)
        or a number (0xFE). --report N prints the whole N-byte output report (report ID 0,
        frame, terminating zero, zero fill; N from 2 to 65) instead.

    discover [--address A] [--port P] [--wait S]
        Sends the discovery datagram to A:P (default 255.255.255.255:30303), takes every answer
        within S seconds (default 2) and prints one line per cabinet: address, " - ",
        description. --json adds the network pane lines.

    upload --address A [--port P] [FILE]
        Uploads the web image FILE (default MPFSImg_DC.bin where the monitor looks for it:
        beside the executable, then in the user's data folder) to the
        cabinet at A (port 80 unless P; the monitor's padded form "192.168.  1. 50" is
        taken too) with the request the monitor sends: POST /mpfsupload,
        HTTP/1.0, multipart/form-data with the file under the field name "/mpfsupload" and the
        path as given as its file name. Succeeds on a 2xx answer.

    history list
    history export --serial S [--from T] [--to T] (--csv FILE | --chart FILE)
    history check [--serial S]
        The stored history (docs/history.md), in HQ3746_HISTORY_DIR or the user's data folder.
        list prints the folder, then per cabinet its serial number, first and last time,
        number of records and bytes on disk (tab-separated). export writes the records of
        cabinet S from T to T (local time YYYY-MM-DDTHH:MM:SS, or with a UTC offset; default
        all) as CSV (the chart's CSV layout) or as a chart file. check reads every block of
        every cabinet (or of S) and reports torn and damaged ones (exit 4 when there are any).

    serve [--metrics ADDR:PORT] [--interval S] [--duration S] [--cabinets N]
        Polls every attached cabinet (with --serial only that one, by its USB serial-number
        string or its serial number) every S seconds (default 1), keeps every status record
        in the cabinet's stored history as the monitor does, and serves the Prometheus metrics
        of all of them on http://ADDR:PORT/metrics (default 127.0.0.1:9746; a PORT alone
        means 127.0.0.1). Cabinets that arrive are taken up, cabinets that leave are waited
        for. A cabinet whose history another program writes (the monitor, another
        hq3746ctl) is left to that program. Ends after --duration, on Ctrl-C or on SIGTERM.
        With --simulate, --cabinets N makes N simulated cabinets (serial numbers from
        12345678 on).

    publish --broker mqtt://HOST[:PORT] [--topic-prefix P] [--client-id ID]
            [--username U [--password-file F]] [--tls-ca FILE] [--metrics ADDR:PORT]
            [--interval S] [--duration S] [--cabinets N]
        As serve (the metrics only with --metrics), and publishes every cabinet to the MQTT
        broker (docs/fleet.md): one JSON message per status record on P/SERIAL/state (QoS 1;
        P is "hq3746" unless given), P/SERIAL/availability ("online", and "offline" as the
        broker's will and on a clean stop; retained) and Home Assistant discovery messages
        (retained). A record waits in the stored history until the broker has acknowledged
        it, whatever happens to the broker, the network or this program. mqtts:// or
        --tls-ca FILE: TLS (port 8883 unless given). F holds the password on its first line.
        @MQTT@

    help [COMMAND]
        Prints this help or the help of one command.

EXIT STATUS
    0    success
    1    usage error: unknown command or option, missing or malformed value, value out of range
    2    no cabinet: none attached, none with the given serial, several attached without
         --serial, or no answer to a discovery
    3    timeout: no answer within --timeout
    4    device or file error: no HID support, no read-write access, a write failed, the
         cabinet went away, a file cannot be read or written
    5    network error: socket error, connection refused, host not found, HTTP status not 2xx
    130  interrupted by Ctrl-C (record and status --watch end with 0 instead)

FILES
    MPFSImg_DC.bin
        The web image, the default of upload: beside the executable, else in the user's data
        folder (~/.local/share/KOV/hq3746-monitor, %APPDATA%\KOV\hq3746-monitor).

EXAMPLES
    hq3746ctl list
    hq3746ctl status --json
    hq3746ctl --simulate status --watch --interval 5
    hq3746ctl --serial HQ0012345678 config
    hq3746ctl --serial HQ0012345678 set --door-alarm 10 --restart-delay 5
    hq3746ctl clock --set
    hq3746ctl serial 12345678
    hq3746ctl record --csv cabinet.csv --interval 10
    hq3746ctl decode "40 32 32 1E 2C 01 58 02"
    hq3746ctl decode --json - < capture.txt
    hq3746ctl frame settings --door-alarm 5 --restart-delay 0 --return-air off
    hq3746ctl frame raw 0xFE --report 65
    hq3746ctl discover --wait 3
    hq3746ctl upload --address 192.168.1.50
    hq3746ctl serve --metrics 127.0.0.1:9746
    hq3746ctl publish --broker mqtt://broker.example:1883 --topic-prefix plant1/hq3746
)";

} // namespace

QString helpText() {
    return QString::fromUtf8(kHelp).replace(
        QStringLiteral("@MQTT@"),
        fleet::mqttSupported()
            ? QStringLiteral("Builds without an MQTT library (the Windows build) have no publish.")
            : QStringLiteral("NOT IN THIS BUILD: it has no MQTT library (as the Windows build).\n"
                             "        serve works."));
}

QString commandHelp(const QString& command) {
    // The command's paragraph(s) of the COMMANDS section: from its first line up to the next
    // command at the same indentation.
    const QStringList lines = helpText().split(u'\n');
    QStringList out;
    bool inCommands = false;
    bool taking = false;
    for (const QString& l : lines) {
        if (l == QLatin1String("COMMANDS")) {
            inCommands = true;
            continue;
        }
        if (!inCommands)
            continue;
        if (!l.isEmpty() && !l.startsWith(u' '))
            break; // next section
        const bool commandLine =
            l.startsWith(QLatin1String("    ")) && !l.startsWith(QLatin1String("     "));
        if (commandLine) {
            const QString word = l.trimmed().section(u' ', 0, 0);
            if (word == command)
                taking = true;
            else if (taking && !out.isEmpty() && out.last().isEmpty())
                break;
        }
        if (taking)
            out << l;
    }
    while (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    if (out.isEmpty())
        return helpText();
    return QStringLiteral("Usage:\n") + out.join(u'\n') +
           QStringLiteral("\n\nGlobal options: --simulate, --serial S, --json, --timeout S. Exit "
                          "codes: see hq3746ctl --help.\n");
}

int Context::fail(int code, const QString& message) const {
    note(message);
    return code;
}

void Context::note(const QString& message) const {
    *env.err << "hq3746ctl: " << message.toStdString() << std::endl;
}

void Context::line(const QString& text) const {
    *env.out << text.toStdString() << '\n';
}

std::string jsonText(const QString& text) {
    return protocol::jsonString(text.toStdString());
}

std::string jsonStrings(const std::vector<std::string>& utf8) {
    std::string s = "[";
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (i)
            s += ',';
        s += protocol::jsonString(utf8[i]);
    }
    return s + "]";
}

JsonObject& JsonObject::raw(std::string_view key, const std::string& json) {
    if (!first_)
        body_ += ',';
    first_ = false;
    body_ += protocol::jsonString(key);
    body_ += ':';
    body_ += json;
    return *this;
}

JsonObject& JsonObject::str(std::string_view key, const QString& text) {
    return raw(key, jsonText(text));
}

JsonObject& JsonObject::num(std::string_view key, long long value) {
    return raw(key, std::to_string(value));
}

JsonObject& JsonObject::real(std::string_view key, double value) {
    return raw(key, protocol::toJson(protocol::FieldValue(value)));
}

JsonObject& JsonObject::flag(std::string_view key, bool value) {
    return raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::strings(std::string_view key, const std::vector<std::string>& utf8) {
    return raw(key, jsonStrings(utf8));
}

JsonObject& JsonObject::fields(std::string_view key, const std::vector<protocol::Field>& fields) {
    JsonObject o;
    for (const auto& f : fields)
        o.raw(f.name, protocol::toJson(f.value));
    return raw(key, o.text());
}

QString hexBytes(std::span<const std::uint8_t> bytes) {
    QString s;
    s.reserve(static_cast<qsizetype>(bytes.size()) * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            s += u' ';
        s += QStringLiteral("%1").arg(bytes[i], 2, 16, QLatin1Char('0')).toUpper();
    }
    return s;
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(const QString& text, QString& problem) {
    // Blanks separate bytes; a byte may carry a 0x prefix; "4E61BC00" without blanks is read
    // two digits at a time.
    std::vector<std::uint8_t> bytes;
    const QStringList tokens =
        text.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    for (QString token : tokens) {
        if (token.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            token = token.mid(2);
        if (token.isEmpty() || token.size() % 2 != 0) {
            problem = QStringLiteral("\"%1\" is not a whole number of hex bytes").arg(token);
            return std::nullopt;
        }
        for (qsizetype i = 0; i < token.size(); i += 2) {
            bool ok = false;
            const uint v = token.mid(i, 2).toUInt(&ok, 16);
            if (!ok) {
                problem = QStringLiteral("\"%1\" is not hex").arg(token.mid(i, 2));
                return std::nullopt;
            }
            bytes.push_back(static_cast<std::uint8_t>(v));
        }
    }
    if (bytes.empty()) {
        problem = QStringLiteral("empty report");
        return std::nullopt;
    }
    return bytes;
}

QString firmwareVersionText(const protocol::FirmwareVersion& v) {
    return QString::fromStdString(cabinet::firmwareVersionText(v));
}

int run(const QStringList& arguments, Environment& env) {
    const ParseOutcome parsed = parseArguments(arguments);
    Context ctx{env, parsed.args};
    if (!parsed.ok())
        return ctx.fail(exitcode::kUsage, parsed.error);
    const ParsedArgs& args = parsed.args;
    const QString& command = args.command;

    if (command == QLatin1String("help")) {
        if (!args.positional.isEmpty() && commandNames().contains(args.positional.first()))
            *env.out << commandHelp(args.positional.first()).toStdString();
        else
            *env.out << helpText().toStdString();
        return exitcode::kOk;
    }
    if (args.has(QStringLiteral("help"))) {
        *env.out << (command.isEmpty() ? helpText() : commandHelp(command)).toStdString();
        return exitcode::kOk;
    }
    if (command.isEmpty())
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("no command given (see hq3746ctl --help)"));

    ctx.json = args.has(QStringLiteral("json"));
    if (args.has(QStringLiteral("timeout"))) {
        const auto ms = parseSeconds(args.value(QStringLiteral("timeout")), 24 * 3600.0);
        if (!ms)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--timeout needs a number of seconds above 0, got "
                                           "\"%1\"")
                                .arg(args.value(QStringLiteral("timeout"))));
        ctx.timeout = std::chrono::milliseconds(*ms);
        ctx.timeoutGiven = true;
    }
    if (!isDeviceCommand(command) && command != QLatin1String("history") &&
        (args.has(QStringLiteral("simulate")) || args.has(QStringLiteral("serial"))))
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("--simulate and --serial apply to the cabinet commands, "
                                       "not to \"%1\"")
                            .arg(command));

    if (command == QLatin1String("list"))
        return cmdList(ctx);
    if (command == QLatin1String("status"))
        return cmdStatus(ctx);
    if (command == QLatin1String("config"))
        return cmdConfig(ctx);
    if (command == QLatin1String("set"))
        return cmdSet(ctx);
    if (command == QLatin1String("clock"))
        return cmdClock(ctx);
    if (command == QLatin1String("record"))
        return cmdRecord(ctx);
    if (command == QLatin1String("decode"))
        return cmdDecode(ctx);
    if (command == QLatin1String("frame"))
        return cmdFrame(ctx);
    if (command == QLatin1String("discover"))
        return cmdDiscover(ctx);
    if (command == QLatin1String("upload"))
        return cmdUpload(ctx);
    if (command == QLatin1String("history"))
        return cmdHistory(ctx);
    if (command == QLatin1String("serve"))
        return cmdServe(ctx);
    if (command == QLatin1String("publish"))
        return cmdPublish(ctx);
    return cmdSimple(ctx);
}

} // namespace hq::cli
