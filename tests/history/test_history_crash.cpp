// kill -9 at a random moment: a real child process records rows and is killed with SIGKILL;
// every row it handed over more than a second before the kill must be in the stored history,
// and nothing else may be there. Repeated on the same folder, so each run also starts from
// what the killed one left (the journal, a block cut off mid-seal, a stale lock).
#include "history/archive_reader.h"
#include "history_test_support.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <map>

using namespace hq::history;

namespace {
std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

class TestHistoryCrash : public QObject {
    Q_OBJECT
private slots:
    void killNineKeepsEveryRowOlderThanOneSecond();
};

void TestHistoryCrash::killNineKeepsEveryRowOlderThanOneSecond() {
    QTemporaryDir tmp;
    const QString child = QCoreApplication::applicationDirPath() + "/history_crash_child";
    QVERIFY(QFileInfo::exists(child));
    QRandomGenerator rng(20261212);
    std::uint64_t next = 0;     // the index the next run starts at
    std::uint64_t required = 0; // rows [0, required) must all be stored
    std::map<std::uint64_t, std::int64_t> handedOver;
    const int runs = 5;
    for (int run = 0; run < runs; ++run) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(child, {tmp.path(), QString::number(next)});
        QVERIFY(p.waitForStarted());
        const std::int64_t lifetime = 1200 + std::int64_t(rng.bounded(1300));
        const std::int64_t until = steadyMs() + lifetime;
        QByteArray pending;
        while (steadyMs() < until) {
            p.waitForReadyRead(20);
            pending += p.readAllStandardOutput();
        }
        const std::int64_t killedAt = steadyMs();
        p.kill(); // SIGKILL
        QVERIFY(p.waitForFinished(5000));
        pending += p.readAllStandardOutput();
        std::uint64_t last = next;
        bool any = false;
        for (const QByteArray& line : pending.split('\n')) {
            const QList<QByteArray> parts = line.split(' ');
            if (parts.size() != 2)
                continue;
            const std::uint64_t i = parts[0].toULongLong();
            const std::int64_t at = parts[1].toLongLong();
            handedOver[i] = at;
            last = std::max(last, i);
            any = true;
            if (at < killedAt - 1000)
                required = std::max(required, i + 1);
        }
        QVERIFY2(any, "the child printed nothing");

        // What is stored: a prefix of what was handed over, at least up to `required`.
        const QString dir = tmp.path() + "/424242";
        auto reader = ArchiveReader::open(dir);
        QVERIFY(reader.ok());
        const std::vector<Row> rows = hq::testing::ReadAll(*reader);
        QVERIFY2(rows.size() >= required,
                 qPrintable(QString("run %1: %2 rows stored, %3 required (killed after %4 ms)")
                                .arg(run)
                                .arg(rows.size())
                                .arg(required)
                                .arg(lifetime)));
        QVERIFY(rows.size() <= last + 1);
        for (std::size_t i = 0; i < rows.size(); ++i)
            QVERIFY2(rows[i] == hq::testing::IndexedRow(i), qPrintable(QString("row %1").arg(i)));
        // Only the block a kill may have cut short at the end, nothing damaged.
        for (const Problem& pr : reader->problems())
            QCOMPARE(int(pr.kind), int(Problem::Kind::Torn));
        // The next run continues right after what was stored.
        next = rows.size();
        required = std::min<std::uint64_t>(required, next);
        qInfo("run %d: killed after %lld ms, %zu rows stored, %llu handed over before the last "
              "second",
              run, static_cast<long long>(lifetime), rows.size(),
              static_cast<unsigned long long>(required));
    }
}

QTEST_GUILESS_MAIN(TestHistoryCrash)
#include "test_history_crash.moc"
