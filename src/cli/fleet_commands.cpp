// serve and publish: every attached cabinet polled, stored in its history, and offered as
// Prometheus metrics (serve, publish --metrics) and to an MQTT broker (publish).
#include "cli/commands.h"

#include "fleet/fleet_poller.h"
#include "fleet/metrics_server.h"
#include "fleet/metrics_text.h"
#include "fleet/mqtt_connection.h"
#include "fleet/mqtt_messages.h"
#include "fleet/publisher.h"
#include "history/archive_location.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

namespace hq::cli {

namespace {

constexpr char kDefaultMetrics[] = "127.0.0.1:9746";

struct FleetSettings {
    std::chrono::milliseconds interval{1000};
    std::optional<std::chrono::milliseconds> duration;
    int cabinets = 1;
    bool metrics = false;
    QHostAddress metricsAddress;
    quint16 metricsPort = 0;
};

// The options serve and publish share; returns an exit code other than Ok on a usage error.
int fleetSettings(const Context& ctx, bool metricsByDefault, FleetSettings& s) {
    const auto& a = ctx.args;
    if (a.has(QStringLiteral("interval"))) {
        const auto ms = parseSeconds(a.value(QStringLiteral("interval")), 3600.0);
        if (!ms || *ms < 100)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--interval needs 0.1 to 3600 seconds, got \"%1\"")
                                .arg(a.value(QStringLiteral("interval"))));
        s.interval = std::chrono::milliseconds(*ms);
    }
    if (a.has(QStringLiteral("duration"))) {
        const auto ms = parseSeconds(a.value(QStringLiteral("duration")));
        if (!ms)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--duration needs a number of seconds above 0, got "
                                           "\"%1\"")
                                .arg(a.value(QStringLiteral("duration"))));
        s.duration = std::chrono::milliseconds(*ms);
    }
    if (a.has(QStringLiteral("cabinets"))) {
        const auto n = parseInteger(a.value(QStringLiteral("cabinets")), 1, 200);
        if (!n)
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--cabinets needs a number from 1 to 200, got \"%1\"")
                                .arg(a.value(QStringLiteral("cabinets"))));
        if (!a.has(QStringLiteral("simulate")))
            return ctx.fail(exitcode::kUsage,
                            QStringLiteral("--cabinets needs --simulate (it sets how many "
                                           "simulated cabinets there are)"));
        s.cabinets = int(*n);
    }
    if (a.has(QStringLiteral("metrics")) || metricsByDefault) {
        const QString given = a.has(QStringLiteral("metrics")) ? a.value(QStringLiteral("metrics"))
                                                               : QString(kDefaultMetrics);
        auto listen = fleet::parseListenAddress(given);
        if (!listen)
            return ctx.fail(exitcode::kUsage, QString::fromStdString(listen.error().message));
        s.metrics = true;
        s.metricsAddress = listen->first;
        s.metricsPort = listen->second;
    }
    return exitcode::kOk;
}

QString firstLineOf(const QString& path, QString& problem) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot read the password file \"%1\": %2")
                      .arg(QDir::toNativeSeparators(path), f.errorString());
        return {};
    }
    QByteArray line = f.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

// Polls, stores, serves and publishes until --duration has passed or Ctrl-C / SIGTERM.
int runFleet(Context& ctx, const FleetSettings& s, const fleet::PublisherOptions* publishing) {
    const bool simulate = ctx.args.has(QStringLiteral("simulate"));
    std::unique_ptr<DeviceBackend> backend;
    if (simulate && s.cabinets > 1 && ctx.env.simulatedCabinets)
        backend = ctx.env.simulatedCabinets(s.cabinets);
    else if (ctx.env.backend)
        backend = ctx.env.backend(simulate);
    if (!backend)
        return ctx.fail(exitcode::kDeviceError, QStringLiteral("no HID access on this system"));

    fleet::PollerOptions po;
    po.historyRoot = history::defaultHistoryRoot();
    po.interval = s.interval;
    po.only = ctx.args.value(QStringLiteral("serial"));
    fleet::FleetPoller poller(backend->platform(), po);
    poller.onNotice = [&](const QString& line) { ctx.note(line); };

    std::unique_ptr<fleet::Publisher> publisher;
    if (publishing) {
        publisher = std::make_unique<fleet::Publisher>(
            poller, *publishing,
            [](const fleet::MqttOptions& o) { return fleet::makeMosquittoConnection(o); });
        publisher->onNotice = [&](const QString& line) { ctx.note(line); };
        poller.onCabinet = [&](const fleet::CabinetSnapshot& c) { publisher->cabinetChanged(c); };
        poller.onRecord = [&](const fleet::CabinetSnapshot& c, const fleet::PolledRecord& r) {
            publisher->recordStored(c, r);
        };
    }

    fleet::MetricsServer metrics;
    if (s.metrics) {
        metrics.setPage([&] {
            std::vector<fleet::CabinetSnapshot> cabinets = poller.snapshots();
            if (publisher)
                for (auto& c : cabinets)
                    c.broker = publisher->brokerState(c.key);
            return fleet::metricsText(cabinets, QDateTime::currentMSecsSinceEpoch());
        });
        if (auto r = metrics.listen(s.metricsAddress, s.metricsPort); !r)
            return ctx.fail(exitcode::kNetworkError, QString::fromStdString(r.error().message));
        const QString host = s.metricsAddress.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QLatin1Char('[') + s.metricsAddress.toString() + QLatin1Char(']')
                                 : s.metricsAddress.toString();
        ctx.note(
            QStringLiteral("metrics on http://%1:%2/metrics").arg(host).arg(metrics.serverPort()));
    }
    if (!poller.start())
        return ctx.fail(exitcode::kDeviceError,
                        QStringLiteral("the system's HID support is not available"));
    ctx.note(QStringLiteral("polling every attached cabinet%1; history in %2")
                 .arg(po.only.isEmpty() ? QString() : QStringLiteral(" with serial ") + po.only,
                      QDir::toNativeSeparators(po.historyRoot)));

    QEventLoop loop;
    QTimer watch;
    QDeadlineTimer end = s.duration ? QDeadlineTimer(qint64(s.duration->count()))
                                    : QDeadlineTimer(QDeadlineTimer::Forever);
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (ctx.interrupted() || end.hasExpired())
            loop.quit();
    });
    watch.start(50);
    loop.exec();

    poller.stopPolling();
    if (publisher)
        publisher->stop(std::chrono::seconds(3));
    std::uint64_t records = 0;
    for (const auto& c : poller.snapshots())
        records += c.records;
    ctx.note(QStringLiteral("%1 status records of %2 cabinets stored%3")
                 .arg(records)
                 .arg(poller.snapshots().size())
                 .arg(publisher ? QStringLiteral(", %1 acknowledged by the broker")
                                      .arg(publisher->acknowledgedRecords())
                                : QString()));
    return exitcode::kOk;
}

} // namespace

int cmdServe(Context& ctx) {
    FleetSettings s;
    if (int rc = fleetSettings(ctx, true, s))
        return rc;
    return runFleet(ctx, s, nullptr);
}

int cmdPublish(Context& ctx) {
    if (!fleet::mqttSupported())
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("publish is not part of this build (it has no MQTT "
                                       "library); serve --metrics works"));
    FleetSettings s;
    if (int rc = fleetSettings(ctx, false, s))
        return rc;
    const auto& a = ctx.args;
    fleet::PublisherOptions p;
    if (!a.has(QStringLiteral("broker")))
        return ctx.fail(exitcode::kUsage,
                        QStringLiteral("publish needs --broker mqtt://HOST[:PORT]"));
    if (a.has(QStringLiteral("tls-ca"))) {
        p.connection.tls = true;
        p.connection.caFile =
            QDir::toNativeSeparators(a.value(QStringLiteral("tls-ca"))).toStdString();
        if (!QFile::exists(a.value(QStringLiteral("tls-ca"))))
            return ctx.fail(exitcode::kDeviceError,
                            QStringLiteral("the CA file \"%1\" does not exist")
                                .arg(a.value(QStringLiteral("tls-ca"))));
    }
    if (auto r =
            fleet::parseBrokerUrl(a.value(QStringLiteral("broker")).toStdString(), p.connection);
        !r)
        return ctx.fail(exitcode::kUsage, QString::fromStdString(r.error().message));
    auto prefix =
        fleet::checkTopicPrefix(a.has(QStringLiteral("topic-prefix"))
                                    ? a.value(QStringLiteral("topic-prefix")).toStdString()
                                    : std::string(fleet::kDefaultTopicPrefix));
    if (!prefix)
        return ctx.fail(exitcode::kUsage, QString::fromStdString(prefix.error().message));
    p.topicPrefix = *prefix;
    p.connection.clientId = a.value(QStringLiteral("client-id")).toStdString();
    if (a.has(QStringLiteral("password-file")) && !a.has(QStringLiteral("username")))
        return ctx.fail(exitcode::kUsage, QStringLiteral("--password-file needs --username"));
    if (a.has(QStringLiteral("username"))) {
        p.connection.username = a.value(QStringLiteral("username")).toStdString();
        if (a.has(QStringLiteral("password-file"))) {
            QString problem;
            const QString password = firstLineOf(a.value(QStringLiteral("password-file")), problem);
            if (!problem.isEmpty())
                return ctx.fail(exitcode::kDeviceError, problem);
            p.connection.password = password.toStdString();
        }
    }
    ctx.note(QStringLiteral("publishing to %1://%2:%3 under %4/")
                 .arg(p.connection.tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
                      QString::fromStdString(p.connection.host))
                 .arg(p.connection.port)
                 .arg(QString::fromStdString(p.topicPrefix)));
    return runFleet(ctx, s, &p);
}

} // namespace hq::cli
