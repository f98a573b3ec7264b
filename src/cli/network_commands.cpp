// discover and upload: the network commands.
#include "cli/commands.h"

#include "cabinet/files.h"

#include <QDir>

#include "network/discovery.h"
#include "network/http_upload.h"
#include "network/multipart_form_data.h"
#include "network/schrankip.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHostAddress>
#include <QTimer>

namespace hq::cli {

namespace {

std::optional<quint16> portOption(const Context& ctx, quint16 fallback, int& rc) {
    rc = exitcode::kOk;
    if (!ctx.args.has(QStringLiteral("port")))
        return fallback;
    const auto p = parseInteger(ctx.args.value(QStringLiteral("port")), 1, 65535);
    if (!p) {
        rc = ctx.fail(exitcode::kUsage, QStringLiteral("--port takes a port from 1 to 65535, got "
                                                       "\"%1\"")
                                            .arg(ctx.args.value(QStringLiteral("port"))));
        return std::nullopt;
    }
    return static_cast<quint16>(*p);
}

std::vector<std::string> utf8Lines(const QStringList& lines) {
    std::vector<std::string> out;
    for (const QString& l : lines)
        out.push_back(l.toStdString());
    return out;
}

// Runs the event loop for up to ms, looking at Ctrl-C every 50 ms; false when interrupted.
bool runFor(const Context& ctx, int ms, const std::function<bool()>& done) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && !(done && done())) {
        if (ctx.interrupted())
            return false;
        QEventLoop loop;
        QTimer::singleShot(std::min<qint64>(50, std::max<qint64>(1, deadline.remainingTime())),
                           &loop, &QEventLoop::quit);
        loop.exec();
    }
    return !ctx.interrupted();
}

} // namespace

int cmdDiscover(Context& ctx) {
    if (!ctx.args.positional.isEmpty())
        return ctx.fail(
            exitcode::kUsage,
            QStringLiteral("unexpected argument \"%1\"").arg(ctx.args.positional.first()));
    QHostAddress target(QHostAddress::Broadcast);
    if (ctx.args.has(QStringLiteral("address"))) {
        const QString a = ctx.args.value(QStringLiteral("address"));
        target = QHostAddress(a);
        if (target.isNull() || target.protocol() != QAbstractSocket::IPv4Protocol)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--address takes an IPv4 address, got \"%1\"").arg(a));
    }
    int rc = exitcode::kOk;
    const auto port = portOption(ctx, kDiscoveryPort, rc);
    if (!port)
        return rc;
    int waitMs = 2000;
    if (ctx.args.has(QStringLiteral("wait"))) {
        const auto ms = parseSeconds(ctx.args.value(QStringLiteral("wait")), 3600.0);
        if (!ms)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--wait needs a number of seconds above 0, got \"%1\"")
                                .arg(ctx.args.value(QStringLiteral("wait"))));
        waitMs = static_cast<int>(*ms);
    }

    DiscoveryClient client;
    client.setTargetAddress(target);
    client.setTargetPort(*port);
    if (const auto problem = client.search(QString()))
        return ctx.fail(exitcode::kNetworkError,
                        QStringLiteral("the discovery request could not be sent: ") +
                            QString(*problem).replace(u'\n', QStringLiteral(": ")));
    QStringList memo{QString::fromLatin1(kDiscoverySentLine)};
    QStringList entries;
    auto drain = [&] {
        for (;;) {
            DiscoveryReply reply = client.poll();
            if (reply.memoLines.isEmpty() && !reply.listEntry)
                return;
            memo += reply.memoLines;
            if (reply.listEntry) {
                entries << *reply.listEntry;
                if (!ctx.json) {
                    ctx.line(*reply.listEntry);
                    ctx.out().flush();
                }
            }
        }
    };
    const bool finished = runFor(ctx, waitMs, [&] {
        drain();
        return false;
    });
    drain();
    if (ctx.json) {
        JsonObject o;
        o.strings("entries", utf8Lines(entries));
        o.strings("memo", utf8Lines(memo));
        ctx.out() << o.text() << std::endl;
    }
    if (!finished)
        return ctx.fail(exitcode::kInterrupted, QStringLiteral("interrupted"));
    if (entries.isEmpty())
        return ctx.fail(exitcode::kNoCabinet,
                        QStringLiteral("no cabinet answered within %1 s").arg(waitMs / 1000.0));
    return exitcode::kOk;
}

int cmdUpload(Context& ctx) {
    if (!ctx.args.has(QStringLiteral("address")) ||
        ctx.args.value(QStringLiteral("address")).trimmed().isEmpty())
        return ctx.fail(exitcode::kUsage, QStringLiteral("upload needs --address A"));
    QString host = ctx.args.value(QStringLiteral("address")).trimmed();
    // The monitor's address field pads its groups with blanks ("192.168.  1. 50"); take that
    // form too, as the plain address.
    if (host.contains(u' ') && formatSchrankip(plainSchrankip(host)))
        host = plainSchrankip(host);
    if (host.contains(u' ') || host.contains(u'/'))
        return ctx.fail(
            exitcode::kUsage,
            QStringLiteral("--address takes an IPv4 address or host name, got \"%1\"").arg(host));
    int rc = exitcode::kOk;
    const auto port = portOption(ctx, kHttpPort, rc);
    if (!port)
        return rc;
    if (ctx.args.positional.size() > 1)
        return ctx.fail(
            exitcode::kUsage,
            QStringLiteral("upload takes one FILE, got %1").arg(ctx.args.positional.size()));
    // Without FILE, the web image where the monitor looks for it.
    const QString file =
        ctx.args.positional.isEmpty()
            ? QDir::toNativeSeparators(cabinet::webImagePath(ctx.env.applicationDir))
            : ctx.args.positional.first();

    MultipartFormDataStream body;
    if (const auto problem =
            body.AppendFilePartFromFile(QLatin1String(kUploadPath), file, QString()))
        return ctx.fail(exitcode::kDeviceError, *problem);
    body.FinishBody();

    UploadClient client;
    client.setPort(*port);
    // The window's limits unless --timeout says otherwise.
    const int limit =
        ctx.timeoutGiven ? static_cast<int>(ctx.timeout.count()) : kDefaultConnectTimeoutMs;
    client.setConnectTimeout(limit);
    client.setReplyTimeout(limit);
    std::optional<UploadOutcome> outcome;
    QObject::connect(&client, &UploadClient::finished,
                     [&](const UploadOutcome& o) { outcome = o; });
    if (!client.start(host, body))
        return ctx.fail(exitcode::kNetworkError, QStringLiteral("the upload could not be started"));
    // The client's own limits end the upload; the wait here only adds room for them.
    const bool done = runFor(ctx, limit * 3 + 5000, [&] { return outcome.has_value(); });
    if (!outcome) {
        client.abort();
        if (!done)
            return ctx.fail(exitcode::kInterrupted, QStringLiteral("interrupted"));
        return ctx.fail(exitcode::kTimeout, QStringLiteral("the upload did not end in time"));
    }
    const QString target = QStringLiteral("%1:%2").arg(host).arg(*port);
    if (ctx.json) {
        JsonObject o;
        o.str("address", host).num("port", *port).str("file", file);
        o.num("bytes", body.size());
        o.flag("ok", outcome->ok());
        if (outcome->httpStatus)
            o.num("httpStatus", outcome->httpStatus);
        else
            o.null("httpStatus");
        o.str("outcome", describeUploadOutcome(*outcome));
        ctx.out() << o.text() << std::endl;
    }
    if (outcome->ok()) {
        if (!ctx.json) {
            ctx.line(QStringLiteral("Uploaded %1 (%2 bytes) to %3: HTTP %4")
                         .arg(file)
                         .arg(QFileInfo(file).size())
                         .arg(target)
                         .arg(outcome->httpStatus));
            ctx.out().flush();
        }
        return exitcode::kOk;
    }
    QString why = describeUploadOutcome(*outcome);
    why.remove(QStringLiteral("MPFS upload failed: "));
    const int code = outcome->result == UploadOutcome::Result::TimedOut ? exitcode::kTimeout
                                                                        : exitcode::kNetworkError;
    return ctx.fail(code, QStringLiteral("upload to %1 failed: %2").arg(target, why));
}

} // namespace hq::cli
