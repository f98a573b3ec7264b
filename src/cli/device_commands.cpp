// The commands that talk to a cabinet over USB.
#include "cli/commands.h"

#include "cabinet/identity.h"
#include "cli/cabinet_session.h"
#include "cli/csv_recorder.h"
#include "cli/poll_loop.h"
#include "history/archive_location.h"
#include "history/archive_writer.h"
#include "history/columns.h"
#include "protocol/decoder.h"
#include "service/csv_row.h"
#include "service/plot_series.h"

#include <QDateTime>
#include <QDir>
#include <QTimeZone>

#include <algorithm>

namespace hq::cli {

namespace {

struct Link {
    std::unique_ptr<DeviceBackend> backend;
    std::unique_ptr<CabinetSession> session;
};

// Makes the backend, runs the first scan and (when claim) claims the cabinet.
int openLink(Context& ctx, Link& link, bool claim) {
    const bool simulate = ctx.args.has(QStringLiteral("simulate"));
    link.backend = ctx.env.backend ? ctx.env.backend(simulate) : nullptr;
    if (!link.backend)
        return ctx.fail(exitcode::kDeviceError, QStringLiteral("no HID access on this system"));
    link.session = std::make_unique<CabinetSession>(link.backend->platform(), ctx.env.interrupt);
    if (!link.session->start())
        return ctx.fail(exitcode::kDeviceError,
                        QStringLiteral("the system's HID support is not available"));
    if (!claim)
        return exitcode::kOk;
    QString problem;
    switch (link.session->open(ctx.args.value(QStringLiteral("serial")), problem)) {
    case CabinetSession::OpenResult::Ok:
        return exitcode::kOk;
    case CabinetSession::OpenResult::NoCabinet:
    case CabinetSession::OpenResult::NoSuchSerial:
    case CabinetSession::OpenResult::Ambiguous:
        return ctx.fail(exitcode::kNoCabinet, problem);
    case CabinetSession::OpenResult::NotWritable:
    case CabinetSession::OpenResult::ClaimFailed:
        break;
    }
    return ctx.fail(exitcode::kDeviceError, problem);
}

QString commandName(std::uint8_t code) {
    if (code >= 0x20 && code < 0x7F)
        return QStringLiteral("\"%1\"").arg(QChar(code));
    return QStringLiteral("0x%1")
        .arg(code, 2, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QStringLiteral("0X"), QStringLiteral("0x"));
}

QString secondsText(std::chrono::milliseconds ms) {
    return QString::number(ms.count() / 1000.0, 'g', 6) + QStringLiteral(" s");
}

int failedRequest(const Context& ctx, const RequestResult& r, std::uint8_t command) {
    switch (r.status) {
    case WaitStatus::Ok:
        return exitcode::kOk;
    case WaitStatus::Timeout:
        return ctx.fail(exitcode::kTimeout,
                        QStringLiteral("no answer to %1 within %2")
                            .arg(commandName(command), secondsText(ctx.timeout)));
    case WaitStatus::Gone:
        return ctx.fail(exitcode::kDeviceError,
                        QStringLiteral("the cabinet went away while waiting for the answer to %1")
                            .arg(commandName(command)));
    case WaitStatus::WriteFailed:
        return ctx.fail(
            exitcode::kDeviceError,
            QStringLiteral("sending %1 failed: %2").arg(commandName(command), r.detail));
    case WaitStatus::Interrupted:
        return ctx.fail(exitcode::kInterrupted, QStringLiteral("interrupted"));
    }
    return exitcode::kDeviceError;
}

int noPositional(const Context& ctx) {
    if (ctx.args.positional.isEmpty())
        return exitcode::kOk;
    return ctx.fail(exitcode::kUsage, QStringLiteral("unexpected argument \"%1\" for \"%2\"")
                                          .arg(ctx.args.positional.first(), ctx.args.command));
}

int utcOffsetAt(std::int64_t utcMs) {
    return QDateTime::fromMSecsSinceEpoch(utcMs).offsetFromUtc();
}

std::int64_t msSinceEpoch(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

QString isoLocal(std::chrono::system_clock::time_point t) {
    const std::int64_t ms = msSinceEpoch(t);
    return QString::fromStdString(service::formatIsoLocal(ms, utcOffsetAt(ms)));
}

QString humidityText(std::uint16_t tenths) {
    return QString::number(tenths / 10.0, 'f', 1);
}

void printStatus(const Context& ctx, const protocol::DecodeResult& r, bool watch) {
    const auto& s = std::get<protocol::StatusRecord>(r.record);
    if (ctx.json) {
        JsonObject o;
        o.str("timeStamp", isoLocal(r.timeStamp));
        o.strings("lines", r.lines);
        o.num("fehler", s.fehler);
        o.real("humidityTop", s.humidityTop / 10.0);
        o.real("humidityBottom", s.humidityBottom / 10.0);
        o.raw("cabinetAddress", protocol::jsonString(protocol::dottedAddress(s.cabinetAddress)));
        o.real("firmwareVersion", r.firmwareVersion.value());
        o.fields("record", protocol::recordFields(s));
        ctx.out() << o.text() << std::endl;
        return;
    }
    if (watch)
        ctx.line(QStringLiteral("# ") + isoLocal(r.timeStamp));
    for (const auto& l : r.lines)
        ctx.out() << l << '\n';
    if (s.fehler != 0)
        ctx.line(QStringLiteral("Fehler: %1").arg(s.fehler));
    ctx.line(QStringLiteral("Humidity top: %1 % r.H.").arg(humidityText(s.humidityTop)));
    ctx.line(QStringLiteral("Humidity bottom: %1 % r.H.").arg(humidityText(s.humidityBottom)));
    ctx.line(QStringLiteral("Address: ") +
             QString::fromStdString(protocol::dottedAddress(s.cabinetAddress)));
    if (watch)
        ctx.out() << '\n';
    ctx.out().flush();
}

// A spin edit shows a value outside its range as the nearest limit.
int spinValue(long long value, int min, int max) {
    return static_cast<int>(std::clamp<long long>(value, min, max));
}

} // namespace

int cmdList(Context& ctx) {
    if (int rc = noPositional(ctx))
        return rc;
    Link link;
    if (int rc = openLink(ctx, link, false))
        return rc;
    std::vector<CabinetInfo> cabinets = link.session->cabinets();
    const QString serial = ctx.args.value(QStringLiteral("serial"));
    if (!serial.isEmpty())
        std::erase_if(cabinets, [&](const CabinetInfo& c) { return c.serial != serial; });
    if (ctx.json) {
        std::string s = "[";
        for (std::size_t i = 0; i < cabinets.size(); ++i) {
            const CabinetInfo& c = cabinets[i];
            JsonObject o;
            o.str("vendorId",
                  QStringLiteral("%1").arg(c.vendorId, 4, 16, QLatin1Char('0')).toUpper());
            o.str("productId",
                  QStringLiteral("%1").arg(c.productId, 4, 16, QLatin1Char('0')).toUpper());
            o.str("product", c.product).str("serial", c.serial).str("path", c.path);
            o.flag("readWrite", c.readWrite);
            if (!c.readWrite)
                o.str("accessProblem", c.accessProblem);
            if (i > 0)
                s += ',';
            s += o.text();
        }
        ctx.out() << s << "]" << std::endl;
    } else {
        for (const CabinetInfo& c : cabinets) {
            QString l = QStringLiteral("%1:%2\t%3\t%4\t%5")
                            .arg(c.vendorId, 4, 16, QLatin1Char('0'))
                            .arg(c.productId, 4, 16, QLatin1Char('0'))
                            .toUpper()
                            .arg(c.product, c.serial, c.path);
            if (!c.readWrite)
                l += QStringLiteral("\tno read-write access") +
                     (c.accessProblem.isEmpty() ? QString()
                                                : QStringLiteral(": ") + c.accessProblem);
            ctx.line(l);
        }
        ctx.out().flush();
    }
    if (cabinets.empty())
        return ctx.fail(exitcode::kNoCabinet, serial.isEmpty()
                                                  ? QStringLiteral("no cabinet attached")
                                                  : QStringLiteral("no cabinet with serial \"%1\" "
                                                                   "attached")
                                                        .arg(serial));
    return exitcode::kOk;
}

int cmdStatus(Context& ctx) {
    if (int rc = noPositional(ctx))
        return rc;
    const bool watch = ctx.args.has(QStringLiteral("watch"));
    std::chrono::milliseconds interval{1000};
    if (ctx.args.has(QStringLiteral("interval"))) {
        if (!watch)
            return ctx.fail(exitcode::kUsage, QStringLiteral("--interval needs --watch"));
        const auto ms = parseSeconds(ctx.args.value(QStringLiteral("interval")));
        if (!ms)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--interval needs a number of seconds above 0, got "
                                           "\"%1\"")
                                .arg(ctx.args.value(QStringLiteral("interval"))));
        interval = std::chrono::milliseconds(*ms);
    }
    Link link;
    if (int rc = openLink(ctx, link, true))
        return rc;
    CabinetSession& session = *link.session;

    if (watch) {
        PollLoop loop(ctx, session);
        loop.interval = interval;
        loop.onRecord = [&](const protocol::DecodeResult& r) {
            printStatus(ctx, r, true);
            return true;
        };
        return loop.run();
    }

    // The firmware version decides the record's layout: read the configuration first, as the
    // monitor's first poll does.
    RequestResult config =
        session.request(protocol::configRequest(), protocol::reply::kConfig, ctx.timeout);
    if (config.status != WaitStatus::Ok)
        return failedRequest(ctx, config, protocol::command::kConfig);
    RequestResult r =
        session.request(protocol::statusRequest(), protocol::reply::kStatus, ctx.timeout);
    if (r.status != WaitStatus::Ok)
        return failedRequest(ctx, r, protocol::command::kStatus);
    printStatus(ctx, r.reply, false);
    return exitcode::kOk;
}

int cmdConfig(Context& ctx) {
    if (int rc = noPositional(ctx))
        return rc;
    Link link;
    if (int rc = openLink(ctx, link, true))
        return rc;
    CabinetSession& session = *link.session;
    RequestResult r =
        session.request(protocol::configRequest(), protocol::reply::kConfig, ctx.timeout);
    if (r.status != WaitStatus::Ok)
        return failedRequest(ctx, r, protocol::command::kConfig);
    // The decoder sent "u" after the configuration; its answer carries the web image version.
    RequestResult u = session.waitForReply(protocol::reply::kWebImageVersion, ctx.timeout);

    const auto& c = std::get<protocol::ConfigRecord>(r.reply.record);
    const protocol::FirmwareVersion fw = c.firmwareVersion();
    const int doorMinutes = spinValue(c.doorAlarmTime / 60, 5, 60);
    const int restartMinutes = spinValue(c.restartDelay / 60, 0, 60);
    const bool returnAirShown = cabinet::returnAirMonitoringShown(c.firmwareMinor);
    std::optional<protocol::WebImageVersion> web;
    if (u.status == WaitStatus::Ok)
        web = std::get<protocol::WebImageVersion>(u.reply.record);
    // As the monitor colours its label: only a numeric web image version is compared.
    const std::optional<bool> webAtLeast = web ? web->atLeast(fw) : std::nullopt;
    const bool webOlder = webAtLeast && !*webAtLeast;
    const QString serialText = QStringLiteral("N#%1").arg(c.serialNumber);
    const QString macText =
        QStringLiteral("MAC:") + QString::fromStdString(protocol::macText(c.macAddress));
    const QString versionText = QStringLiteral("V.:") + firmwareVersionText(fw);

    if (ctx.json) {
        JsonObject o;
        o.num("doorAlarmMinutes", doorMinutes);
        o.num("restartDelayMinutes", restartMinutes);
        o.flag("returnAirMonitoring", c.returnAirMonitoringOn());
        o.flag("returnAirMonitoringShown", returnAirShown);
        o.real("firmwareVersion", fw.value());
        o.str("firmwareVersionText", firmwareVersionText(fw));
        o.num("serialNumber", c.serialNumber);
        o.raw("macAddress", protocol::jsonString(protocol::macText(c.macAddress)));
        if (web && web->versionText)
            o.raw("webImageVersionText", protocol::jsonString(*web->versionText));
        else
            o.null("webImageVersionText");
        if (web && web->version)
            o.real("webImageVersion", *web->version);
        else
            o.null("webImageVersion");
        if (webAtLeast)
            o.flag("webImageOlderThanFirmware", webOlder);
        else
            o.null("webImageOlderThanFirmware");
        o.fields("record", protocol::recordFields(c));
        ctx.out() << o.text() << std::endl;
    } else {
        QString door = QStringLiteral("Door alarm time: %1 min").arg(doorMinutes);
        if (doorMinutes * 60 != c.doorAlarmTime)
            door += QStringLiteral(" (cabinet: %1 s)").arg(c.doorAlarmTime);
        QString restart = QStringLiteral("Restart delay: %1 min").arg(restartMinutes);
        if (restartMinutes * 60 != c.restartDelay)
            restart += QStringLiteral(" (cabinet: %1 s)").arg(c.restartDelay);
        ctx.line(door);
        ctx.line(restart);
        ctx.line(QStringLiteral("Return-air monitoring: %1%2")
                     .arg(c.returnAirMonitoringOn() ? QStringLiteral("on") : QStringLiteral("off"),
                          returnAirShown ? QString()
                                         : QStringLiteral(" (not shown by the monitor for this "
                                                          "firmware)")));
        ctx.line(versionText);
        ctx.line(serialText);
        ctx.line(macText);
        if (web && web->labelText())
            ctx.line(QString::fromStdString(*web->labelText()) +
                     (webOlder ? QStringLiteral(" (older than the firmware)") : QString()));
        ctx.out().flush();
    }
    if (u.status != WaitStatus::Ok)
        return failedRequest(ctx, u, protocol::command::kWebImageVersion);
    return exitcode::kOk;
}

int cmdSet(Context& ctx) {
    if (int rc = noPositional(ctx))
        return rc;
    int door = 0, restart = 0;
    if (int rc = settingsOptions(ctx, door, restart))
        return rc;
    std::optional<bool> returnAir;
    if (ctx.args.has(QStringLiteral("return-air"))) {
        bool on = false;
        if (int rc = returnAirArgument(ctx, on))
            return rc;
        returnAir = on;
    }
    Link link;
    if (int rc = openLink(ctx, link, true))
        return rc;
    CabinetSession& session = *link.session;
    if (!returnAir) {
        // Keep the cabinet's own return-air setting rather than switching it off.
        RequestResult r =
            session.request(protocol::configRequest(), protocol::reply::kConfig, ctx.timeout);
        if (r.status != WaitStatus::Ok)
            return failedRequest(ctx, r, protocol::command::kConfig);
        returnAir = std::get<protocol::ConfigRecord>(r.reply.record).returnAirMonitoringOn();
    }
    const protocol::CommandFrame frame = protocol::settingsWriteFrame(door, restart, *returnAir);
    QString detail;
    if (!session.send(frame, &detail))
        return ctx.fail(exitcode::kDeviceError,
                        QStringLiteral("sending the settings failed: ") + detail);
    if (ctx.json) {
        JsonObject o;
        o.num("doorAlarmMinutes", door).num("restartDelayMinutes", restart);
        o.flag("returnAirMonitoring", *returnAir);
        o.str("frame", hexBytes(frame.bytes()));
        ctx.out() << o.text() << std::endl;
    } else {
        ctx.line(QStringLiteral("Settings sent: door alarm time %1 min, restart delay %2 min, "
                                "return-air monitoring %3")
                     .arg(door)
                     .arg(restart)
                     .arg(*returnAir ? QStringLiteral("on") : QStringLiteral("off")));
        ctx.out().flush();
    }
    return exitcode::kOk;
}

int cmdClock(Context& ctx) {
    if (int rc = noPositional(ctx))
        return rc;
    Link link;
    if (int rc = openLink(ctx, link, true))
        return rc;
    CabinetSession& session = *link.session;

    if (ctx.args.has(QStringLiteral("set"))) {
        const protocol::LocalDateTime t = protocol::localDateTimeAt(ctx.env.now());
        const auto frame = protocol::clockSetFrame(t);
        if (!frame)
            return ctx.fail(exitcode::kDeviceError,
                            QStringLiteral("the PC clock shows the year %1; the cabinet's clock "
                                           "holds 2000 to 2099 only")
                                .arg(t.year));
        QString detail;
        if (!session.send(*frame, &detail))
            return ctx.fail(exitcode::kDeviceError,
                            QStringLiteral("setting the clock failed: ") + detail);
        const QString when = QStringLiteral("%1.%2.%3 %4:%5:%6")
                                 .arg(t.day, 2, 10, QLatin1Char('0'))
                                 .arg(t.month, 2, 10, QLatin1Char('0'))
                                 .arg(t.year)
                                 .arg(t.hour, 2, 10, QLatin1Char('0'))
                                 .arg(t.minute, 2, 10, QLatin1Char('0'))
                                 .arg(t.second, 2, 10, QLatin1Char('0'));
        if (ctx.json) {
            JsonObject o;
            o.str("set", when).str("frame", hexBytes(frame->bytes()));
            ctx.out() << o.text() << std::endl;
        } else {
            ctx.line(QStringLiteral("Clock set to ") + when);
            ctx.out().flush();
        }
        return exitcode::kOk;
    }

    RequestResult r =
        session.request(protocol::clockReadRequest(), protocol::reply::kClock, ctx.timeout);
    if (r.status != WaitStatus::Ok)
        return failedRequest(ctx, r, protocol::command::kClockRead);
    const auto& c = std::get<protocol::ClockRecord>(r.reply.record);
    const QString cabinetTime = QString::fromStdString(cabinet::clockTimeText(c));
    const QString cabinetDate = QString::fromStdString(cabinet::clockDateText(c));
    const QDateTime pc = QDateTime::fromMSecsSinceEpoch(msSinceEpoch(ctx.env.now()));
    const QString pcText = pc.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    // Both clocks as civil times, compared without time zone.
    const QDateTime cabinetCivil(QDate(2000 + c.year, c.month, c.day),
                                 QTime(c.hours, c.minutes, c.seconds), QTimeZone::utc());
    const QDateTime pcCivil(pc.date(),
                            QTime(pc.time().hour(), pc.time().minute(), pc.time().second()),
                            QTimeZone::utc());
    const bool comparable = cabinetCivil.isValid();
    const qint64 ahead = comparable ? pcCivil.secsTo(cabinetCivil) : 0;
    if (ctx.json) {
        JsonObject o;
        o.strings("lines", r.reply.lines);
        o.str("cabinet", cabinetDate + u' ' + cabinetTime);
        o.str("pc", pcText);
        if (comparable)
            o.num("cabinetAheadSeconds", ahead);
        else
            o.null("cabinetAheadSeconds");
        o.fields("record", protocol::recordFields(c));
        ctx.out() << o.text() << std::endl;
    } else {
        for (const auto& l : r.reply.lines)
            ctx.out() << l << '\n';
        ctx.line(QStringLiteral("TR Zeit: ") + cabinetDate + u' ' + cabinetTime);
        ctx.line(QStringLiteral("PC Zeit: ") + pcText);
        if (comparable)
            ctx.line(QStringLiteral("Cabinet ahead of PC: %1 s").arg(ahead));
        ctx.out().flush();
    }
    return exitcode::kOk;
}

int cmdSimple(Context& ctx) {
    const QString& command = ctx.args.command;
    std::optional<protocol::CommandFrame> frame;
    QString what;
    if (command == QLatin1String("serial")) {
        int rc = exitcode::kOk;
        const auto serial = serialArgument(ctx, rc);
        if (!serial)
            return rc;
        frame = protocol::serialNumberWriteFrame(*serial);
        what = QStringLiteral("Serial number %1 sent").arg(*serial);
    } else {
        if (int rc = noPositional(ctx))
            return rc;
        if (command == QLatin1String("reset")) {
            frame = protocol::controllerResetCommand();
            what = QStringLiteral("Reset sent");
        } else if (command == QLatin1String("disp-ldr")) {
            frame = protocol::dispLdrCommand();
            what = QStringLiteral("Disp LDR sent");
        } else if (command == QLatin1String("wdt-test")) {
            frame = protocol::wdtTestCommand();
            what = QStringLiteral("WDT Testen sent");
        } else if (command == QLatin1String("bootloader")) {
            frame = protocol::bootloaderEntryCommand();
            what = QStringLiteral("Bootloader entry sent; start the firmware update program now");
        } else {
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("unknown command \"%1\"").arg(command));
        }
    }
    Link link;
    if (int rc = openLink(ctx, link, true))
        return rc;
    QString detail;
    if (!link.session->send(*frame, &detail))
        return ctx.fail(exitcode::kDeviceError,
                        QStringLiteral("sending %1 failed: %2").arg(command, detail));
    if (ctx.json) {
        JsonObject o;
        o.str("command", command).str("frame", hexBytes(frame->bytes())).flag("sent", true);
        ctx.out() << o.text() << std::endl;
    } else {
        ctx.line(what);
        ctx.out().flush();
    }
    return exitcode::kOk;
}

int cmdRecord(Context& ctx) {
    if (int rc = noPositional(ctx))
        return rc;
    const bool toHistory = ctx.args.has(QStringLiteral("history"));
    const bool toCsv = ctx.args.has(QStringLiteral("csv"));
    if ((!toCsv && !toHistory) || (toCsv && ctx.args.value(QStringLiteral("csv")).isEmpty()))
        return ctx.fail(exitcode::kUsage, QStringLiteral("record needs --csv FILE or --history"));
    std::chrono::milliseconds interval{1000};
    std::optional<std::chrono::milliseconds> duration;
    if (ctx.args.has(QStringLiteral("interval"))) {
        const auto ms = parseSeconds(ctx.args.value(QStringLiteral("interval")));
        if (!ms)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--interval needs a number of seconds above 0, got "
                                           "\"%1\"")
                                .arg(ctx.args.value(QStringLiteral("interval"))));
        interval = std::chrono::milliseconds(*ms);
    }
    if (ctx.args.has(QStringLiteral("duration"))) {
        const auto ms = parseSeconds(ctx.args.value(QStringLiteral("duration")), 366 * 24 * 3600.0);
        if (!ms)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--duration needs a number of seconds above 0, got "
                                           "\"%1\"")
                                .arg(ctx.args.value(QStringLiteral("duration"))));
        duration = std::chrono::milliseconds(*ms);
    }

    CsvRecorder csv;
    const QString file = ctx.args.value(QStringLiteral("csv"));
    if (toCsv)
        if (QString problem = csv.open(file); !problem.isEmpty())
            return ctx.fail(exitcode::kDeviceError, problem);

    Link link;
    if (int rc = openLink(ctx, link, true))
        return rc;

    // The stored history: opened once the configuration tells the serial number (again when
    // another cabinet answers); every record goes to its journal at once.
    std::unique_ptr<history::ArchiveWriter> archive;
    std::string archiveKey;
    const QString historyRoot = history::defaultHistoryRoot();

    std::optional<std::int64_t> lastMs;
    bool gap = false;
    long long written = 0;
    QString writeProblem;
    PollLoop loop(ctx, *link.session);
    loop.interval = interval;
    loop.duration = duration;
    loop.onMiss = [&] { gap = true; };
    if (toHistory)
        loop.onConfig = [&](const protocol::ConfigRecord& config) {
            const std::string key =
                history::cabinetKey(config.serialNumber, link.session->openedSerial());
            if (archive && key == archiveKey)
                return true;
            archive.reset();
            std::vector<std::string> notices;
            auto w = history::ArchiveWriter::open(history::cabinetDirectory(historyRoot, key), key,
                                                  {}, notices);
            for (const auto& n : notices)
                ctx.note(QStringLiteral("history: ") + QString::fromStdString(n));
            if (!w) {
                writeProblem = QString::fromStdString(w.error().message);
                return false;
            }
            archive = std::move(*w);
            archiveKey = key;
            ctx.note(QStringLiteral("storing the history in %1")
                         .arg(QDir::toNativeSeparators(archive->directory())));
            return true;
        };
    loop.onRecord = [&](const protocol::DecodeResult& r) {
        const std::int64_t ms = msSinceEpoch(r.timeStamp);
        if (archive) {
            const auto& status = std::get<protocol::StatusRecord>(r.record);
            auto a = archive->append(history::rowFromStatus(ms, status));
            if (a)
                a = archive->flush();
            if (!a) {
                writeProblem = QString::fromStdString(a.error().message);
                return false;
            }
        }
        if (!toCsv) {
            ++written;
            return true;
        }
        if (gap && lastMs) {
            writeProblem = csv.writeLine(
                service::csvGapLine(*lastMs, utcOffsetAt(*lastMs), ms, utcOffsetAt(ms)));
            if (!writeProblem.isEmpty())
                return false;
        }
        gap = false;
        const auto sample = service::sampleFromStatus(std::get<protocol::StatusRecord>(r.record));
        writeProblem = csv.writeLine(service::csvRow(ms, utcOffsetAt(ms), sample));
        if (!writeProblem.isEmpty())
            return false;
        lastMs = ms;
        ++written;
        return true;
    };
    const int rc = loop.run();
    if (archive)
        if (auto c = archive->close(); !c && writeProblem.isEmpty())
            writeProblem = QString::fromStdString(c.error().message);
    if (!writeProblem.isEmpty())
        return ctx.fail(exitcode::kDeviceError, writeProblem);
    const QString where =
        toCsv ? file : QDir::toNativeSeparators(history::cabinetDirectory(historyRoot, archiveKey));
    ctx.note(QStringLiteral("%1 records written to %2").arg(written).arg(where));
    if (ctx.json) {
        JsonObject o;
        o.str("file", where).num("records", written);
        ctx.out() << o.text() << std::endl;
    }
    return rc;
}

} // namespace hq::cli
