// A site of 50 simulated cabinets published at 1 Hz to one broker for 60 s: one hq3746ctl
// publish process (the cabinets simulated inside it), Debian's mosquitto on a free loopback
// port, a subscriber here. Reported: records stored and not delivered (goal 0), the time from a
// record's time stamp to its delivery at the subscriber (p50, p99; goal p99 at most 50 ms), and
// the CPU time of the publishing process per cabinet (goal under 0.5 % of a core). The same
// cabinets polled and stored without a broker (hq3746ctl serve) are measured beside it, so that
// the share of MQTT in the CPU time can be told apart.
//
// Run on demand: build/bench/bench/bench_fleet [--benchmark_filter=...]
//   HQ_FLEET_CABINETS (default 50), HQ_FLEET_SECONDS (default 60)
#include "history/archive_location.h"
#include "history/archive_reader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>
#include <mosquitto.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <unistd.h>
#include <vector>

namespace {

int envInt(const char* name, int fallback) {
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// utime + stime of a process, in seconds.
double cpuSeconds(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    // After the name: state is field 3, utime field 14, stime field 15 (1-based in proc(5)).
    if (fields.size() < 13)
        return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

struct Delivery {
    std::mutex lock;
    std::map<std::string, std::set<qint64>> seen; // per cabinet: sequences delivered
    std::vector<double> latencyMs;                // receive time - time stamp
    bool measuring = false;
};

void onMessage(mosquitto*, void* obj, const mosquitto_message* m) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    auto* d = static_cast<Delivery*>(obj);
    const std::string topic = m->topic;
    if (!topic.ends_with("/state"))
        return;
    const QJsonObject o =
        QJsonDocument::fromJson(QByteArray(static_cast<const char*>(m->payload), m->payloadlen))
            .object();
    const qint64 stamp = QDateTime::fromString(o.value("timeStamp").toString(), Qt::ISODateWithMs)
                             .toMSecsSinceEpoch();
    std::lock_guard<std::mutex> g(d->lock);
    d->seen[o.value("serial").toString().toStdString()].insert(o.value("sequence").toInteger());
    if (d->measuring)
        d->latencyMs.push_back(double(now - stamp));
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

QString hq3746ctl() {
    return QStringLiteral(HQ3746CTL_EXECUTABLE);
}

void stopProcess(QProcess& p) {
    if (p.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(p.processId()), SIGTERM);
    if (!p.waitForFinished(20000))
        p.kill();
    p.waitForFinished(2000);
}

// Waits (running the event loop) for the given time.
void wait(int ms) {
    const qint64 end = QDateTime::currentMSecsSinceEpoch() + ms;
    while (QDateTime::currentMSecsSinceEpoch() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
}

std::uint64_t storedRecords(const QString& root) {
    std::uint64_t n = 0;
    for (const QString& dir : hq::history::listCabinetDirectories(root))
        if (auto r = hq::history::ArchiveReader::open(dir))
            n += r->recordCount();
    return n;
}

void BM_FiftyCabinetsToOneBroker(benchmark::State& state) {
    const int cabinets = envInt("HQ_FLEET_CABINETS", 50);
    const int seconds = envInt("HQ_FLEET_SECONDS", 60);
    const QString mosquittoPath =
        QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/bin"});
    if (mosquittoPath.isEmpty()) {
        state.SkipWithError("mosquitto is not installed");
        return;
    }
    for (auto _ : state) {
        QTemporaryDir dir;
        const quint16 port = freePort();
        QFile conf(dir.path() + "/mosquitto.conf");
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n"
                                  "max_queued_messages 100000\nlog_type error\n")
                       .arg(port)
                       .toUtf8());
        conf.close();
        QProcess broker;
        broker.start(mosquittoPath, {"-c", dir.path() + "/mosquitto.conf"});
        broker.waitForStarted();
        for (int i = 0; i < 100; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(100))
                break;
            QThread::msleep(50);
        }

        Delivery delivery;
        mosquitto* sub = mosquitto_new("bench-sub", true, &delivery);
        mosquitto_message_callback_set(sub, onMessage);
        mosquitto_connect(sub, "127.0.0.1", port, 30);
        mosquitto_subscribe(sub, nullptr, "hq3746/+/state", 1);
        mosquitto_loop_start(sub);

        const QString history = dir.path() + "/history";
        QProcess publisher;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HQ3746_HISTORY_DIR", history);
        publisher.setProcessEnvironment(env);
        publisher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        publisher.start(hq3746ctl(),
                        {"publish", "--simulate", "--cabinets", QString::number(cabinets),
                         "--broker", QStringLiteral("mqtt://127.0.0.1:%1").arg(port)});
        publisher.waitForStarted();
        wait(5000); // every cabinet taken up and answering
        {
            std::lock_guard<std::mutex> g(delivery.lock);
            delivery.measuring = true;
        }
        const double cpu0 = cpuSeconds(publisher.processId());
        const qint64 t0 = QDateTime::currentMSecsSinceEpoch();
        wait(seconds * 1000);
        const double cpu = cpuSeconds(publisher.processId()) - cpu0;
        const double wall = double(QDateTime::currentMSecsSinceEpoch() - t0) / 1000.0;
        {
            std::lock_guard<std::mutex> g(delivery.lock);
            delivery.measuring = false;
        }
        stopProcess(publisher);
        wait(2000); // the last acknowledged records reach the subscriber
        mosquitto_disconnect(sub);
        mosquitto_loop_stop(sub, true);
        mosquitto_destroy(sub);
        stopProcess(broker);

        // Every stored record of every cabinet must have been delivered.
        std::uint64_t stored = 0, lost = 0;
        for (const QString& folder : hq::history::listCabinetDirectories(history)) {
            auto reader = hq::history::ArchiveReader::open(folder);
            if (!reader)
                continue;
            stored += reader->recordCount();
            const auto& seen = delivery.seen[reader->key()];
            for (std::uint64_t s = 0; s < reader->recordCount(); ++s)
                lost += seen.count(qint64(s)) ? 0 : 1;
        }
        state.counters["cabinets"] = cabinets;
        state.counters["records_stored"] = double(stored);
        state.counters["records_lost"] = double(lost);
        state.counters["latency_p50_ms"] = percentile(delivery.latencyMs, 0.50);
        state.counters["latency_p99_ms"] = percentile(delivery.latencyMs, 0.99);
        state.counters["latency_max_ms"] = percentile(delivery.latencyMs, 1.0);
        state.counters["cpu_pct_per_cabinet"] = 100.0 * cpu / wall / cabinets;
        state.counters["cpu_pct_process"] = 100.0 * cpu / wall;
    }
}

// The same cabinets polled into their stored history without a broker: the share of the
// process's CPU time that is not MQTT.
void BM_FiftyCabinetsWithoutBroker(benchmark::State& state) {
    const int cabinets = envInt("HQ_FLEET_CABINETS", 50);
    const int seconds = envInt("HQ_FLEET_SECONDS", 60);
    for (auto _ : state) {
        QTemporaryDir dir;
        QProcess serve;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HQ3746_HISTORY_DIR", dir.path());
        serve.setProcessEnvironment(env);
        serve.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        serve.start(hq3746ctl(), {"serve", "--simulate", "--cabinets", QString::number(cabinets),
                                  "--metrics", QStringLiteral("127.0.0.1:%1").arg(freePort())});
        serve.waitForStarted();
        wait(5000);
        const double cpu0 = cpuSeconds(serve.processId());
        const std::uint64_t stored0 = storedRecords(dir.path());
        const qint64 t0 = QDateTime::currentMSecsSinceEpoch();
        wait(seconds * 1000);
        const double cpu = cpuSeconds(serve.processId()) - cpu0;
        const double wall = double(QDateTime::currentMSecsSinceEpoch() - t0) / 1000.0;
        stopProcess(serve);
        state.counters["cabinets"] = cabinets;
        state.counters["records_per_s"] = double(storedRecords(dir.path()) - stored0) / wall;
        state.counters["cpu_pct_per_cabinet"] = 100.0 * cpu / wall / cabinets;
        state.counters["cpu_pct_process"] = 100.0 * cpu / wall;
    }
}

BENCHMARK(BM_FiftyCabinetsToOneBroker)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FiftyCabinetsWithoutBroker)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    mosquitto_lib_init();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mosquitto_lib_cleanup();
    return 0;
}
