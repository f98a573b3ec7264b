// The real hq3746ctl executable recording to a CSV file: killed at arbitrary moments, every line
// already in the file is complete; Ctrl-C and SIGTERM end it cleanly.
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

#ifndef HQ3746CTL_PATH
#error "HQ3746CTL_PATH must name the built executable"
#endif

namespace {

QStringList recordArgs(const QString& file) {
    return {"--simulate", "record", "--csv", file, "--interval", "0.01"};
}

int lineCount(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return static_cast<int>(f.readAll().count('\n'));
}

} // namespace

class TestCliRecordProcess : public QObject {
    Q_OBJECT
private slots:
    void killedRecorderLeavesCompleteLines();
    void signalEndsCleanly_data();
    void signalEndsCleanly();
};

void TestCliRecordProcess::killedRecorderLeavesCompleteLines() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("week.csv"));
    int before = 0;
    // Several runs appending to the same file, each killed at another moment.
    for (int run = 0; run < 6; ++run) {
        QProcess p;
        p.start(QStringLiteral(HQ3746CTL_PATH), recordArgs(file));
        QVERIFY(p.waitForStarted());
        const int wanted = before + 3 + run * 7;
        QTRY_VERIFY_WITH_TIMEOUT(lineCount(file) >= wanted, 10000);
        QTest::qWait(run * 13 % 40);
        p.kill();
        QVERIFY(p.waitForFinished());
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        const int after = lineCount(file);
        QVERIFY(after >= wanted);
        before = after;
    }

    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    QVERIFY2(content.endsWith('\n'), "the last line is cut off");
    QList<QByteArray> lines = content.split('\n');
    lines.removeLast(); // after the final line end
    QVERIFY(lines.first().startsWith("time,"));
    const qsizetype columns = lines.first().count(',') + 1;
    QCOMPARE(columns, 19);
    const QRegularExpression time(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    const QRegularExpression number(QStringLiteral("^-?\\d+(\\.\\d+)?$"));
    int headers = 0;
    for (const QByteArray& l : lines) {
        if (l == lines.first()) {
            ++headers;
            continue;
        }
        if (l.startsWith("# gap from "))
            continue;
        const QList<QByteArray> cells = l.split(',');
        QCOMPARE(cells.size(), columns);
        QVERIFY2(time.match(QString::fromLatin1(cells[0])).hasMatch(), l.constData());
        for (qsizetype i = 1; i < cells.size(); ++i)
            QVERIFY2(number.match(QString::fromLatin1(cells[i])).hasMatch(), l.constData());
    }
    QCOMPARE(headers, 1); // appended runs do not repeat the header
}

void TestCliRecordProcess::signalEndsCleanly_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl-C") << int(SIGINT);
    QTest::newRow("SIGTERM (service stop)") << int(SIGTERM);
}

void TestCliRecordProcess::signalEndsCleanly() {
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rec.csv"));
    QProcess p;
    p.start(QStringLiteral(HQ3746CTL_PATH), recordArgs(file));
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(lineCount(file) >= 5, 10000);
    ::kill(static_cast<pid_t>(p.processId()), signal);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    const int rows = lineCount(file) - 1;
    QVERIFY2(err.contains(QStringLiteral("%1 records written").arg(rows)), qPrintable(err));
}

QTEST_GUILESS_MAIN(TestCliRecordProcess)
#include "test_cli_record_process.moc"
