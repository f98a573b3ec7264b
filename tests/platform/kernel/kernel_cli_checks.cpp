// hq3746ctl as a separate process against uhid cabinets: every device command, the time-out
// path, a cabinet that talks on its own, a second cabinet, and an unplug and replug while the
// tool watches. No wait anywhere before the first command: the cabinet answers as fast as the
// kernel lets it.
#include "kernel_checks.h"

#include "kernel_cabinet.h"
#include "kernel_check.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <csignal>

namespace hq::kerneltest {

namespace {

struct Run {
    int code = -1;
    QString out;
    QString err;
};

Run ctl(const QString& exe, const QStringList& args, int timeoutMs = 60000) {
    QProcess p;
    p.start(exe, args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("(did not end)");
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

std::string summary(const Run& r) {
    QString s = QStringLiteral("exit %1").arg(r.code);
    if (!r.err.isEmpty())
        s += QStringLiteral(", stderr: ") + r.err.trimmed().replace(u'\n', QStringLiteral(" | "));
    return s.toStdString();
}

bool containsAll(const QString& text, const QStringList& parts, QString& missing) {
    for (const QString& p : parts)
        if (!text.contains(p)) {
            missing = p;
            return false;
        }
    return true;
}

std::string hexOf(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = from; i < from + n && i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02X ", bytes[i]);
        s += b;
    }
    if (!s.empty())
        s.pop_back();
    return s;
}

bool plugged(Checker& check, KernelCabinet& cabinet, const std::string& label) {
    std::string error;
    return check(cabinet.plug(error), label + ": plugged in", error);
}

// The commands against a cabinet that answers at once.
void promptCabinet(Checker& check, const QString& exe, KernelCabinet& cabinet) {
    Run r = ctl(exe, {"list"});
    const QStringList cols = r.out.trimmed().split(u'\t');
    check(r.code == 0 && r.out.count(u'\n') == 1 && cols.size() == 4 && cols[0] == "04D8:003F" &&
              cols[1] == "HQ3746" && cols[2] == "HQ0012345678" &&
              cols[3].startsWith("/dev/hidraw") && cabinet.received().empty(),
          "list: the cabinet, nothing sent", r.out.trimmed().toStdString());

    cabinet.clearReceived();
    r = ctl(exe, {"status"});
    QString missing;
    check(r.code == 0 &&
              containsAll(r.out,
                          {"Aktoren: 10000001\n", "FEHLER: 0\n", "HytRetO: 0A\n", "255.255.255.0\n",
                           "IntTimer: 1234\n", "Humidity top: 45.3 % r.H.\n",
                           "Humidity bottom: 38.7 % r.H.\n", "Address: 192.168.1.50\n"},
                          missing),
          "status: pane lines, humidity and address",
          missing.isEmpty() ? summary(r) : "missing " + missing.trimmed().toStdString());
    check(cabinet.received() == "@uv",
          "status: \"@\" (with the decoder's \"u\") and \"v\", once each", cabinet.received());

    cabinet.clearReceived();
    r = ctl(exe, {"status", "--json"});
    const QJsonObject record =
        QJsonDocument::fromJson(r.out.toUtf8()).object()["record"].toObject();
    check(r.code == 0 && record["temperatureBottom"].toInt() == -100 &&
              record["temperatureTop"].toInt() == 215 && record["okTimer"].toInt() == 42,
          "status --json: signed temperature, okTimer of firmware 1.003",
          QStringLiteral("%1 / %2 / %3")
              .arg(record["temperatureBottom"].toInt())
              .arg(record["temperatureTop"].toInt())
              .arg(record["okTimer"].toInt())
              .toStdString());

    cabinet.clearReceived();
    r = ctl(exe, {"config"});
    check(r.code == 0 &&
              containsAll(r.out,
                          {"Door alarm time: 5 min\n", "Restart delay: 10 min\n", "V.:1.003\n",
                           "N#12345678\n", "MAC:00:04:A3:01:02:03\n", "MPFS: 1.003\n"},
                          missing),
          "config: settings and identity",
          missing.isEmpty() ? summary(r) : "missing " + missing.trimmed().toStdString());
    check(cabinet.received() == "@u", "config: \"@\" and the decoder's \"u\", once each",
          cabinet.received());

    cabinet.clearReceived();
    r = ctl(exe, {"set", "--door-alarm", "10", "--restart-delay", "5"});
    const auto reports = cabinet.receivedReports();
    const std::string frame = reports.empty() ? std::string() : hexOf(reports.back(), 0, 16);
    check(r.code == 0 && cabinet.received() == "@uA" &&
              frame == "00 41 32 32 1E 58 02 2C 01 00 00 00 00 00 01 00",
          "set: the settings frame keeps return-air monitoring",
          cabinet.received() + " / " + frame + " / " + summary(r));
    r = ctl(exe, {"config"});
    check(r.code == 0 && r.out.contains("Door alarm time: 10 min\n") &&
              r.out.contains("Restart delay: 5 min\n"),
          "config after set: the new settings", summary(r));

    cabinet.clearReceived();
    r = ctl(exe, {"clock"});
    check(r.code == 0 && r.out.contains("Read RTC: 1\n") &&
              r.out.contains("TR Zeit: 06.03.2024 09:05:07\n") && cabinet.received() == "3",
          "clock: the cabinet's clock, one \"3\"", cabinet.received() + " / " + summary(r));

    cabinet.clearReceived();
    r = ctl(exe, {"clock", "--set"});
    const CabinetValues set = cabinet.values();
    const QDate today = QDate::currentDate();
    check(r.code == 0 && cabinet.received() == "2" && set.day == today.day() &&
              set.month == today.month() && set.year == today.year() - 2000,
          "clock --set: one \"2\" with the PC's date",
          cabinet.received() + " / " + std::to_string(set.day) + "." + std::to_string(set.month) +
              "." + std::to_string(set.year));
    r = ctl(exe, {"clock"});
    check(r.code == 0 && r.out.contains("TR Zeit: " + today.toString("dd.MM.yyyy")),
          "clock after --set: the cabinet's date is the PC's", summary(r));

    // A short recording: the configuration first, then one status record per second.
    cabinet.clearReceived();
    const QString csv = QStringLiteral("/tmp/record.csv");
    QFile::remove(csv);
    r = ctl(exe, {"record", "--csv", csv, "--duration", "3"});
    QFile file(csv);
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray content = opened ? file.readAll() : QByteArray();
    const QList<QByteArray> lines = content.split('\n');
    const int fields = lines.isEmpty() ? 0 : int(lines.first().count(',')) + 1;
    bool complete = content.endsWith('\n') && fields == 19;
    int rows = 0;
    for (int i = 1; i < lines.size() - 1; ++i) {
        complete &= lines[i].count(',') + 1 == fields && lines[i].contains(",45.3,");
        ++rows;
    }
    const std::string codes = cabinet.received();
    const auto polls = std::count(codes.begin(), codes.end(), 'v');
    check(r.code == 0 && complete && rows >= 2 && rows == polls && codes.rfind("@u", 0) == 0,
          "record: every line complete, one row per status request",
          std::to_string(rows) + " rows, sent " + codes + ", " + summary(r));
}

// status --watch while the cabinet is pulled out and plugged in again.
void watchAcrossReplug(Checker& check, const QString& exe, KernelCabinet& cabinet) {
    QProcess watch;
    watch.start(exe, {"status", "--watch", "--interval", "1"});
    QString out, err;
    auto collect = [&] {
        out += QString::fromUtf8(watch.readAllStandardOutput());
        err += QString::fromUtf8(watch.readAllStandardError());
    };
    auto records = [&] {
        collect();
        return out.count(QStringLiteral("Humidity top: 45.3 % r.H."));
    };
    const bool firstRecords = waitFor([&] { return records() >= 2; });
    check(firstRecords, "status --watch: records before the unplug", std::to_string(records()));
    cabinet.unplug();
    const bool wentAway = waitFor([&] {
        collect();
        return err.contains("went away");
    });
    check(wentAway, "status --watch: says the cabinet went away", err.trimmed().toStdString());
    const int before = records();
    plugged(check, cabinet, "status --watch");
    const bool again = waitFor([&] { return records() >= before + 2; });
    check(again, "status --watch: records again after the replug",
          std::to_string(records() - before) +
              " new, stderr: " + err.trimmed().replace(u'\n', QStringLiteral(" | ")).toStdString());
    check(err.contains("is back"), "status --watch: says the cabinet is back",
          err.trimmed().replace(u'\n', QStringLiteral(" | ")).toStdString());
    ::kill(static_cast<pid_t>(watch.processId()), SIGINT);
    const bool ended = watch.waitForFinished(15000);
    collect();
    check(ended && watch.exitStatus() == QProcess::NormalExit && watch.exitCode() == 0,
          "status --watch: ends with 0 on Ctrl-C", std::to_string(watch.exitCode()));
    if (!ended) {
        watch.kill();
        watch.waitForFinished();
    }
}

void twoCabinets(Checker& check, const QString& exe, KernelCabinet& first) {
    CabinetBehaviour b;
    b.usbSerial = "HQ0000000002";
    b.serialNumber = 2;
    KernelCabinet second(b);
    if (!plugged(check, second, "second cabinet"))
        return;
    first.clearReceived();
    Run r = ctl(exe, {"status"});
    check(r.code == 2 && r.err.contains("2 cabinets attached") && first.received().empty() &&
              second.received().empty(),
          "two cabinets without --serial: refused, nothing sent", summary(r));
    r = ctl(exe, {"--serial", "HQ0000000002", "config"});
    check(r.code == 0 && r.out.contains("N#2\n") && second.received() == "@u" &&
              first.received().empty(),
          "--serial chooses the second cabinet", second.received() + " / " + summary(r));
    r = ctl(exe, {"list"});
    check(r.code == 0 && r.out.count(u'\n') == 2, "list: both cabinets", summary(r));
    second.unplug();
}

void slowSilentAndChatty(Checker& check, const QString& exe) {
    CabinetBehaviour slow;
    slow.usbSerial = "HQ0000000050";
    slow.answering = Answering::Delayed;
    slow.delay = std::chrono::milliseconds(50);
    {
        KernelCabinet cabinet(slow);
        if (plugged(check, cabinet, "cabinet answering after 50 ms")) {
            Run r = ctl(exe, {"status"});
            check(r.code == 0 && r.out.contains("Humidity top: 45.3 % r.H.\n") &&
                      cabinet.received() == "@uv",
                  "50 ms: status, asked once", cabinet.received() + " / " + summary(r));
            cabinet.clearReceived();
            r = ctl(exe, {"config"});
            check(r.code == 0 && r.out.contains("MPFS: 1.003\n") && cabinet.received() == "@u",
                  "50 ms: config, asked once", cabinet.received() + " / " + summary(r));
        }
    }

    CabinetBehaviour silent;
    silent.usbSerial = "HQ0000000000";
    silent.answering = Answering::Never;
    {
        KernelCabinet cabinet(silent);
        if (plugged(check, cabinet, "cabinet that never answers")) {
            Run r = ctl(exe, {"status", "--timeout", "1"});
            check(r.code == 3 && r.err.contains("no answer to \"@\" within 1 s") &&
                      cabinet.received() == "@@",
                  "never: the time-out message after asking twice",
                  cabinet.received() + " / " + summary(r));
            cabinet.clearReceived();
            r = ctl(exe, {"clock", "--set", "--timeout", "1"});
            check(r.code == 0 && cabinet.received() == "2",
                  "never: a command that changes the cabinet is sent once",
                  cabinet.received() + " / " + summary(r));
        }
    }

    CabinetBehaviour chatty;
    chatty.usbSerial = "HQ0000000099";
    chatty.chatty = true;
    {
        KernelCabinet cabinet(chatty);
        if (plugged(check, cabinet, "cabinet sending reports nobody asked for")) {
            Run r = ctl(exe, {"config"});
            check(r.code == 0 && r.out.contains("N#12345678\n") && r.out.contains("MPFS: 1.003\n"),
                  "chatty: config", summary(r));
            r = ctl(exe, {"status"});
            check(r.code == 0 && r.out.contains("Humidity bottom: 38.7 % r.H.\n"), "chatty: status",
                  summary(r));
        }
    }
}

} // namespace

void runCliChecks(Checker& check, const QString& exe) {
    KernelCabinet cabinet({});
    if (!plugged(check, cabinet, "cabinet for hq3746ctl"))
        return;
    promptCabinet(check, exe, cabinet);
    twoCabinets(check, exe, cabinet);
    watchAcrossReplug(check, exe, cabinet);
    cabinet.unplug();
    slowSilentAndChatty(check, exe);
}

} // namespace hq::kerneltest
