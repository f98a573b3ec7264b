// decode and frame: the commands that need no cabinet.
#include "cli/commands.h"

#include "core/windows1252.h"
#include "protocol/decoder.h"
#include "protocol/output_report.h"
#include "protocol/reply.h"

#include <QDate>
#include <QRegularExpression>

#include <istream>

namespace hq::cli {

namespace {

std::string codeCharacter(std::uint8_t code) {
    return hq::windows1252ToUtf8(std::string(1, static_cast<char>(code)));
}

// The record's fields under the reply records' field names, with the derived values.
std::string recordJson(const protocol::DecodeResult& r) {
    if (r.ignored())
        return "null";
    JsonObject o;
    if (const auto* w = std::get_if<protocol::WebImageVersion>(&r.record)) {
        o.raw("text", protocol::jsonString(w->text));
        o.raw("version", w->versionText ? protocol::jsonString(*w->versionText) : "null");
        if (w->version)
            o.real("webImageVersion", *w->version);
        else
            o.null("webImageVersion");
        return o.text();
    }
    for (const auto& f : protocol::recordFields(r.record))
        o.raw(f.name, protocol::toJson(f.value));
    if (const auto* c = std::get_if<protocol::ConfigRecord>(&r.record))
        o.real("firmwareVersion", c->firmwareVersion().value());
    return o.text();
}

std::string decodeJson(const protocol::DecodeResult& r) {
    JsonObject o;
    o.raw("code", protocol::jsonString(codeCharacter(r.code)));
    o.num("codeByte", r.code);
    o.str("recordType",
          QString::fromUtf8(protocol::recordName(r.record).data(),
                            static_cast<qsizetype>(protocol::recordName(r.record).size())));
    o.str("pane", r.pane == protocol::Pane::UDPMemo ? QStringLiteral("UDPMemo")
                                                    : QStringLiteral("txtMessage"));
    o.flag("clear", r.clearPane);
    o.strings("lines", r.lines);
    o.raw("followUp",
          r.followUp ? protocol::jsonString(codeCharacter(r.followUp->code())) : "null");
    o.raw("record", recordJson(r));
    return o.text();
}

int minutesOption(const Context& ctx, const char* name, int min, int max, int& value) {
    const QString key = QLatin1String(name);
    if (!ctx.args.has(key))
        return ctx.fail(exitcode::kUsage, QStringLiteral("--%1 MINUTES is missing").arg(key));
    const auto v = parseInteger(ctx.args.value(key), min, max);
    if (!v)
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("--%1 takes whole minutes from %2 to %3, got \"%4\"")
                            .arg(key)
                            .arg(min)
                            .arg(max)
                            .arg(ctx.args.value(key)));
    value = static_cast<int>(*v);
    return exitcode::kOk;
}

int returnAirOption(const Context& ctx, bool& on) {
    const auto v = parseOnOff(ctx.args.value(QStringLiteral("return-air")));
    if (!v)
        return ctx.fail(exitcode::kUsage, QStringLiteral("--return-air takes on or off, got \"%1\"")
                                              .arg(ctx.args.value(QStringLiteral("return-air"))));
    on = *v;
    return exitcode::kOk;
}

// The bytes as hex text, or with --json as {"hex":"41 32","bytes":[65,50]}.
void printHex(const Context& ctx, std::span<const std::uint8_t> bytes) {
    if (!ctx.json) {
        ctx.line(hexBytes(bytes));
        return;
    }
    JsonObject o;
    o.str("hex", hexBytes(bytes));
    o.raw("bytes", protocol::toJson(protocol::FieldValue(
                       std::vector<std::int64_t>(bytes.begin(), bytes.end()))));
    ctx.out() << o.text() << '\n';
}

int printFrame(const Context& ctx, const protocol::CommandFrame& frame) {
    if (!ctx.args.has(QStringLiteral("report"))) {
        printHex(ctx, frame.bytes());
        return exitcode::kOk;
    }
    const auto n = parseInteger(ctx.args.value(QStringLiteral("report")), 2,
                                static_cast<long long>(protocol::kMaxOutputReportLength));
    if (!n)
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("--report takes a report length from 2 to %1, got \"%2\"")
                            .arg(protocol::kMaxOutputReportLength)
                            .arg(ctx.args.value(QStringLiteral("report"))));
    const protocol::FramedReport report =
        protocol::frameOutputReport(frame, static_cast<std::size_t>(*n));
    if (!report.ok())
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("the %1-byte frame does not fit into a %2-byte report")
                            .arg(frame.size())
                            .arg(*n));
    printHex(ctx, report.bytes);
    return exitcode::kOk;
}

} // namespace

// Shared with the device commands: the settings options of set and frame settings.
int settingsOptions(const Context& ctx, int& doorAlarm, int& restartDelay) {
    if (int rc = minutesOption(ctx, "door-alarm", 5, 60, doorAlarm))
        return rc;
    return minutesOption(ctx, "restart-delay", 0, 60, restartDelay);
}

int returnAirArgument(const Context& ctx, bool& on) {
    return returnAirOption(ctx, on);
}

std::optional<std::int32_t> serialArgument(const Context& ctx, int& rc) {
    rc = exitcode::kOk;
    const QStringList& p = ctx.args.positional;
    const int expected = ctx.args.command == QLatin1String("frame") ? 2 : 1;
    if (p.size() != expected) {
        rc = ctx.fail(exitcode::kUsage, QStringLiteral("serial needs exactly one NUMBER"));
        return std::nullopt;
    }
    const auto v = parseInteger(p.last(), -2147483648LL, 2147483647LL);
    if (!v) {
        rc = ctx.fail(
            exitcode::kUsage,
            QStringLiteral("the serial number must be a 32-bit number, got \"%1\"").arg(p.last()));
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*v);
}

int cmdDecode(Context& ctx) {
    QStringList reports = ctx.args.positional;
    if (reports.size() == 1 && reports.first() == QLatin1String("-")) {
        reports.clear();
        if (ctx.env.in) {
            std::string l;
            while (std::getline(*ctx.env.in, l)) {
                const QString t = QString::fromStdString(l).trimmed();
                if (!t.isEmpty() && !t.startsWith(u'#'))
                    reports << t;
            }
        }
    }
    if (reports.isEmpty())
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("decode needs at least one report in hex"));

    // Check every report before printing anything.
    std::vector<std::vector<std::uint8_t>> data;
    for (qsizetype i = 0; i < reports.size(); ++i) {
        QString problem;
        auto bytes = parseHexBytes(reports[i], problem);
        if (!bytes)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("report %1: %2").arg(i + 1).arg(problem));
        if (bytes->size() > protocol::kReplyReportLength)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("report %1 has %2 bytes; a report has %3 data bytes "
                                           "(without the report ID)")
                                .arg(i + 1)
                                .arg(bytes->size())
                                .arg(protocol::kReplyReportLength));
        data.push_back(std::move(*bytes));
    }

    protocol::ReplyDecoder decoder;
    bool firstBlock = true;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const protocol::DecodeResult r = decoder.decode(data[i]);
        if (ctx.json) {
            ctx.out() << decodeJson(r) << '\n';
            continue;
        }
        if (r.ignored()) {
            ctx.note(QStringLiteral("report %1: reply code 0x%2 is not decoded; ignored")
                         .arg(i + 1)
                         .arg(r.code, 2, 16, QLatin1Char('0')));
            continue;
        }
        if (!firstBlock)
            ctx.out() << '\n';
        firstBlock = false;
        for (const auto& l : r.lines)
            ctx.out() << l << '\n';
    }
    ctx.out().flush();
    return exitcode::kOk;
}

int cmdFrame(Context& ctx) {
    const QStringList& p = ctx.args.positional;
    if (p.isEmpty())
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("frame needs a kind: settings, clock, serial or raw"));
    const QString kind = p.first();
    auto noMore = [&](qsizetype count) {
        return p.size() == count
                   ? exitcode::kOk
                   : ctx.fail(exitcode::kUsage,
                              QStringLiteral("unexpected argument \"%1\"").arg(p.value(count)));
    };
    auto onlyOptions = [&](std::initializer_list<const char*> allowed) {
        for (const auto& [name, value] : ctx.args.options) {
            if (name == QLatin1String("report") || name == QLatin1String("json") ||
                name == QLatin1String("timeout"))
                continue;
            bool ok = false;
            for (const char* a : allowed)
                ok |= name == QLatin1String(a);
            if (!ok)
                return ctx.fail(exitcode::kUsage,
                                QStringLiteral("--%1 does not apply to frame %2").arg(name, kind));
        }
        return static_cast<int>(exitcode::kOk);
    };

    if (kind == QLatin1String("settings")) {
        if (int rc = noMore(1);
            rc || (rc = onlyOptions({"door-alarm", "restart-delay", "return-air"})))
            return rc;
        int door = 0, restart = 0;
        bool returnAir = false;
        if (int rc = settingsOptions(ctx, door, restart))
            return rc;
        if (!ctx.args.has(QStringLiteral("return-air")))
            return ctx.fail(exitcode::kUsage, QStringLiteral("--return-air on|off is missing"));
        if (int rc = returnAirOption(ctx, returnAir))
            return rc;
        return printFrame(ctx, protocol::settingsWriteFrame(door, restart, returnAir));
    }
    if (kind == QLatin1String("clock")) {
        if (int rc = noMore(1); rc || (rc = onlyOptions({"at"})))
            return rc;
        protocol::LocalDateTime t;
        if (ctx.args.has(QStringLiteral("at"))) {
            static const QRegularExpression kRe(
                QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})$"));
            const QString at = ctx.args.value(QStringLiteral("at"));
            const auto m = kRe.match(at);
            const QDate date = m.hasMatch() ? QDate(m.captured(1).toInt(), m.captured(2).toInt(),
                                                    m.captured(3).toInt())
                                            : QDate();
            if (!m.hasMatch() || !date.isValid() || m.captured(4).toInt() > 23 ||
                m.captured(5).toInt() > 59 || m.captured(6).toInt() > 59)
                return ctx.fail(exitcode::kUsage, QStringLiteral("--at takes a date and time as "
                                                                 "YYYY-MM-DDTHH:MM:SS, got \"%1\"")
                                                      .arg(at));
            t.year = date.year();
            t.month = date.month();
            t.day = date.day();
            t.hour = m.captured(4).toInt();
            t.minute = m.captured(5).toInt();
            t.second = m.captured(6).toInt();
            t.weekday = date.dayOfWeek() % 7; // Qt counts Monday 1 .. Sunday 7
        } else {
            t = protocol::localDateTimeAt(ctx.env.now());
        }
        const auto frame = protocol::clockSetFrame(t);
        if (!frame)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("the cabinet's clock holds the years 2000 to 2099 "
                                           "only, not %1")
                                .arg(t.year));
        return printFrame(ctx, *frame);
    }
    if (kind == QLatin1String("serial")) {
        if (int rc = onlyOptions({}))
            return rc;
        int rc = exitcode::kOk;
        const auto serial = serialArgument(ctx, rc);
        if (!serial)
            return rc;
        return printFrame(ctx, protocol::serialNumberWriteFrame(*serial));
    }
    if (kind == QLatin1String("raw")) {
        if (int rc = onlyOptions({}))
            return rc;
        if (p.size() != 2)
            return ctx.fail(exitcode::kUsage, QStringLiteral("frame raw needs exactly one CODE"));
        const QString code = p[1];
        std::optional<long long> value;
        if (code.size() == 1 && code[0].unicode() < 0x80)
            value = code[0].unicode();
        else
            value = parseInteger(code, 0, 255);
        if (!value)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("CODE is one character (v, @) or a byte value (0xFE), "
                                           "got \"%1\"")
                                .arg(code));
        const std::uint8_t byte = static_cast<std::uint8_t>(*value);
        return printFrame(ctx, *protocol::CommandFrame::fromBytes(std::span(&byte, 1)));
    }
    return ctx.fail(
        exitcode::kUsage,
        QStringLiteral("unknown frame kind \"%1\" (settings, clock, serial, raw)").arg(kind));
}

} // namespace hq::cli
