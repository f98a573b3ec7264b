// history list, export and check: the stored history without a cabinet.
#include "cli/commands.h"
#include "history/archive_location.h"
#include "history/archive_reader.h"
#include "history/history_export.h"
#include "service/chart_file.h"
#include "service/csv_row.h"

#include <QDateTime>
#include <QDir>

namespace hq::cli {

namespace {

QString isoLocal(std::int64_t ms) {
    const int offset = QDateTime::fromMSecsSinceEpoch(ms).offsetFromUtc();
    return QString::fromStdString(service::formatIsoLocal(ms, offset));
}

// "2026-12-10T06:00:00" (local time) or with ".zzz" and an offset ("Z", "+01:00").
std::optional<std::int64_t> parseTime(const QString& text) {
    QDateTime t = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    return t.toMSecsSinceEpoch();
}

int historyList(Context& ctx, const QString& root) {
    JsonObject json;
    std::string cabinets = "[";
    ctx.line(QStringLiteral("History folder: %1").arg(QDir::toNativeSeparators(root)));
    for (const QString& dir : history::listCabinetDirectories(root)) {
        auto reader = history::ArchiveReader::open(dir);
        if (!reader) {
            ctx.note(QString::fromStdString(reader.error().message));
            continue;
        }
        const auto first = reader->firstTimeMs(), last = reader->lastTimeMs();
        const QString key = QString::fromStdString(reader->key());
        const QString from = first ? isoLocal(*first) : QStringLiteral("-");
        const QString to = last ? isoLocal(*last) : QStringLiteral("-");
        if (ctx.json) {
            JsonObject o;
            o.str("serial", key)
                .str("folder", QDir::toNativeSeparators(dir))
                .str("first", from)
                .str("last", to)
                .num("records", (long long)reader->recordCount())
                .num("bytes", (long long)reader->bytesOnDisk())
                .flag("writing", reader->writerActive());
            if (cabinets.size() > 1)
                cabinets += ',';
            cabinets += o.text();
        } else {
            ctx.line(
                QStringLiteral("%1\t%2\t%3\t%4 records\t%5 bytes%6")
                    .arg(key, from, to)
                    .arg(reader->recordCount())
                    .arg(reader->bytesOnDisk())
                    .arg(reader->writerActive() ? QStringLiteral("\tbeing written") : QString()));
        }
    }
    if (ctx.json) {
        json.str("folder", QDir::toNativeSeparators(root)).raw("cabinets", cabinets + "]");
        ctx.out() << json.text() << std::endl;
    }
    return exitcode::kOk;
}

int historyExport(Context& ctx, const QString& root) {
    const QString serial = ctx.args.value(QStringLiteral("serial"));
    if (serial.isEmpty())
        return ctx.fail(exitcode::kUsage, QStringLiteral("history export needs --serial S"));
    const bool csv = ctx.args.has(QStringLiteral("csv")),
               chart = ctx.args.has(QStringLiteral("chart"));
    if (csv == chart)
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("history export needs either --csv FILE or --chart FILE"));
    history::TimeRange range;
    for (const char* name : {"from", "to"}) {
        if (!ctx.args.has(QLatin1String(name)))
            continue;
        const auto t = parseTime(ctx.args.value(QLatin1String(name)));
        if (!t)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--%1 needs a time as YYYY-MM-DDTHH:MM:SS, got \"%2\"")
                                .arg(QLatin1String(name), ctx.args.value(QLatin1String(name))));
        (std::string_view(name) == "from" ? range.fromMs : range.toMs) = *t;
    }
    auto reader =
        history::ArchiveReader::open(history::cabinetDirectory(root, serial.toStdString()));
    if (!reader)
        return ctx.fail(exitcode::kDeviceError, QString::fromStdString(reader.error().message));
    std::uint64_t written = 0;
    QString file = ctx.args.value(csv ? QStringLiteral("csv") : QStringLiteral("chart"));
    QString error;
    if (csv) {
        error = history::exportCsv(*reader, file, range, &written);
    } else {
        file = service::chartFileName(file);
        service::ChartSettings settings = service::ChartSettings::defaults();
        settings.bottom.automatic = false;
        settings.bottom.min = double(range.fromMs.value_or(reader->firstTimeMs().value_or(0)));
        settings.bottom.max = double(range.toMs.value_or(reader->lastTimeMs().value_or(0)));
        error = history::exportChart(*reader, file, settings, range, &written);
    }
    for (const history::Problem& p : reader->takeProblems())
        ctx.note(QString::fromStdString(history::describeProblem(p)));
    if (!error.isEmpty())
        return ctx.fail(exitcode::kDeviceError, error);
    ctx.note(QStringLiteral("%1 records written to %2").arg(written).arg(file));
    if (ctx.json) {
        JsonObject o;
        o.str("file", file).num("records", (long long)written);
        ctx.out() << o.text() << std::endl;
    }
    return exitcode::kOk;
}

int historyCheck(Context& ctx, const QString& root) {
    QStringList dirs;
    if (ctx.args.has(QStringLiteral("serial")))
        dirs << history::cabinetDirectory(root,
                                          ctx.args.value(QStringLiteral("serial")).toStdString());
    else
        dirs = history::listCabinetDirectories(root);
    std::size_t problems = 0;
    for (const QString& dir : dirs) {
        auto reader = history::ArchiveReader::open(dir, /*verifyRecords=*/true);
        if (!reader)
            return ctx.fail(exitcode::kDeviceError, QString::fromStdString(reader.error().message));
        const auto found = reader->takeProblems();
        problems += found.size();
        ctx.line(QStringLiteral("%1: %2 blocks, %3 records, %4%5")
                     .arg(QString::fromStdString(reader->key()))
                     .arg(reader->blocks().size())
                     .arg(reader->recordCount())
                     .arg(found.empty() ? QStringLiteral("all readable")
                                        : QStringLiteral("%1 problems").arg(found.size()))
                     .arg(reader->writerActive() ? QStringLiteral(" (being written)") : QString()));
        for (const auto& p : found)
            ctx.line(QStringLiteral("    ") + QString::fromStdString(history::describeProblem(p)));
    }
    return problems == 0 ? exitcode::kOk : exitcode::kDeviceError;
}

} // namespace

int cmdHistory(Context& ctx) {
    const QString root = history::defaultHistoryRoot();
    const QString what = ctx.args.positional.isEmpty() ? QString() : ctx.args.positional.first();
    if (ctx.args.positional.size() > 1)
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("unexpected argument \"%1\"").arg(ctx.args.positional[1]));
    if (what == QLatin1String("list"))
        return historyList(ctx, root);
    if (what == QLatin1String("export"))
        return historyExport(ctx, root);
    if (what == QLatin1String("check"))
        return historyCheck(ctx, root);
    return ctx.fail(exitcode::kUsage, QStringLiteral("history needs list, export or check"));
}

} // namespace hq::cli
