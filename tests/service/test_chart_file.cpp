#include "service/chart_file.h"
#include "service/csv_row.h"
#include "service/plot_series.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <cstdio>

using namespace hq::service;

namespace {
std::unique_ptr<HistoryStore> makeStore(std::size_t n) {
    auto store = std::make_unique<HistoryStore>(seriesEncodings());
    RawSample s{};
    for (std::size_t i = 0; i < n; ++i) {
        for (int k = 0; k < kSeriesCount; ++k)
            s[std::size_t(k)] = std::uint16_t(i * 31 + std::size_t(k) * 977);
        store->append(1'765'000'000'000 + std::int64_t(i) * 1000 - std::int64_t(i % 3), s);
    }
    return store;
}

QByteArray chartBytes(const ChartSettings& settings, const HistoryStore& store) {
    QBuffer b;
    b.open(QIODevice::WriteOnly);
    const QString err = writeChart(b, settings, store);
    Q_ASSERT(err.isEmpty());
    return b.data();
}

LoadedChart readBytes(const QByteArray& bytes) {
    QBuffer b;
    b.setData(bytes);
    b.open(QIODevice::ReadOnly);
    return readChart(b);
}

// Offsets in a file written by chartBytes(): 16-byte header, settings, CRC, first block.
qsizetype settingsSize(const QByteArray& f) {
    return qFromLittleEndian<quint32>(f.constData() + 12);
}
qsizetype firstBlock(const QByteArray& f) {
    return 16 + settingsSize(f) + 4;
}

void recomputeBlockCrc(QByteArray& f, qsizetype block, quint32 count) {
    const qsizetype body = qsizetype(count) * (8 + 2 * kSeriesCount);
    const quint32 crc = chartFileCrc32(f.constData() + block, 4 + body);
    qToLittleEndian(crc, f.data() + block + 4 + body);
}
} // namespace

class TestChartFile : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void rejectsDamagedInput_data();
    void rejectsDamagedInput();
    void savedFileLoads();
    void interruptedSaveKeepsOldFile();
    void killedSaveKeepsOldFile();
    void fileName_data();
    void fileName();
    void csvRows_data();
    void csvRows();
};

void TestChartFile::roundTrip_data() {
    QTest::addColumn<int>("records");
    QTest::newRow("empty") << 0;
    QTest::newRow("one") << 1;
    QTest::newRow("two blocks") << int(HistoryStore::kChunkRecords) + 5;
}

void TestChartFile::roundTrip() {
    QFETCH(int, records);
    ChartSettings settings = ChartSettings::defaults();
    settings.series[3].title = QString::fromUtf8("Tür °C ✓");
    settings.series[3].colour = QColor(1, 2, 3, 4);
    settings.series[3].penWidth = 7;
    settings.series[3].style = LineStyle::DashDot;
    settings.series[3].visible = true;
    settings.left = {-12.25, 1e-300, true, false};
    settings.bottom = {1.7e9, 1.8e9, false, false};
    settings.legendVisible = false;
    settings.backgroundFrom = QColor(10, 20, 30);
    auto store = makeStore(std::size_t(records));
    const LoadedChart back = readBytes(chartBytes(settings, *store));
    QVERIFY2(back.ok(), qPrintable(back.error));
    QVERIFY(back.settings == settings);
    QCOMPARE(back.store->size(), store->size());
    for (std::size_t i = 0; i < store->size(); ++i) {
        QCOMPARE(back.store->timeAt(i), store->timeAt(i));
        QCOMPARE(back.store->sampleAt(i), store->sampleAt(i));
    }
    for (int k = 0; k < kSeriesCount; ++k) {
        QCOMPARE(back.store->encoding(k).offset, store->encoding(k).offset);
        QCOMPARE(back.store->encoding(k).divisor, store->encoding(k).divisor);
    }
    // Writing what was read gives the same bytes.
    QCOMPARE(chartBytes(back.settings, *back.store), chartBytes(settings, *store));
}

void TestChartFile::rejectsDamagedInput_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    auto store = makeStore(1000);
    const QByteArray good = chartBytes(ChartSettings::defaults(), *store);
    const qsizetype block = firstBlock(good);
    const QString notChart = "not a chart file", truncated = "incomplete", damaged = "damaged";

    QTest::newRow("empty") << QByteArray() << notChart;
    QTest::newRow("png") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << notChart;
    QTest::newRow("text") << QByteArray("time,netzf,t2_1\n2026-01-01,1,2\n") << notChart;
    QTest::newRow("magic only") << good.left(8) << truncated;
    for (qsizetype cut :
         {qsizetype(20), block - 2, block + 3, block + 5000, good.size() - 12, good.size() - 1})
        QTest::newRow(qPrintable(QString("cut at %1").arg(cut))) << good.left(cut) << truncated;

    QByteArray v = good;
    qToLittleEndian(quint16(2), v.data() + 8);
    QTest::newRow("newer version") << v << "format version 2";
    QByteArray n = good;
    qToLittleEndian(quint16(17), n.data() + 10);
    QTest::newRow("series count") << n << damaged;
    QByteArray big = good;
    qToLittleEndian(quint32(0x7FFFFFFF), big.data() + 12);
    QTest::newRow("huge settings size") << big << damaged;
    QByteArray s = good;
    s[20] = char(s[20] ^ 0x01);
    QTest::newRow("flipped settings bit") << s << "checksum error in the settings";
    QByteArray r = good;
    r[block + 4 + 8 * 500] = char(r[block + 4 + 8 * 500] ^ 0x40);
    QTest::newRow("flipped time bit") << r << "checksum error in record 0";
    QByteArray c = good;
    c[block + 4 + 8 * 1000 + 77] = char(c[block + 4 + 8 * 1000 + 77] + 1);
    QTest::newRow("changed value") << c << "checksum error";
    QByteArray huge = good;
    qToLittleEndian(quint32(0xFFFFFFFF), huge.data() + block);
    QTest::newRow("huge block") << huge << "block too large";
    QByteArray order = good;
    // Swap two time stamps and fix the checksum: only the order check can catch it.
    const qsizetype t = block + 4 + 8 * 10;
    const QByteArray a = order.mid(t, 8), b = order.mid(t + 8, 8);
    order.replace(t, 8, b);
    order.replace(t + 8, 8, a);
    recomputeBlockCrc(order, block, 1000);
    QTest::newRow("times out of order") << order << "out of order";
    QByteArray count = good;
    count[count.size() - 12] = char(count[count.size() - 12] + 1);
    QTest::newRow("end checksum") << count << "checksum error at the end";
    QTest::newRow("trailing data") << good + QByteArray("x") << "after the end";
}

void TestChartFile::rejectsDamagedInput() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const LoadedChart r = readBytes(bytes);
    QVERIFY(!r.ok());
    QVERIFY2(r.error.contains(expected), qPrintable(r.error));
}

void TestChartFile::savedFileLoads() {
    QTemporaryDir dir;
    const QString path = dir.filePath("verlauf.hqchart");
    auto store = makeStore(3000);
    QCOMPARE(saveChartFile(path, ChartSettings::defaults(), *store), QString());
    const LoadedChart r = loadChartFile(path);
    QVERIFY2(r.ok(), qPrintable(r.error));
    QCOMPARE(r.store->size(), std::size_t(3000));
    QCOMPARE(r.store->lastTime(), store->lastTime());
    const LoadedChart missing = loadChartFile(dir.filePath("nothing.hqchart"));
    QVERIFY(!missing.ok());
    QVERIFY(missing.error.contains("nothing.hqchart"));
    QVERIFY(!saveChartFile(dir.filePath("no/such/dir/x.hqchart"), ChartSettings::defaults(), *store)
                 .isEmpty());
}

void TestChartFile::interruptedSaveKeepsOldFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("verlauf.hqchart");
    auto oldStore = makeStore(10);
    QCOMPARE(saveChartFile(path, ChartSettings::defaults(), *oldStore), QString());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();

    // A writer that has written most of a large chart and then fails (disk full, say).
    auto bigStore = makeStore(100'000);
    const QString err = saveAtomically(path, [&](QIODevice& d) {
        const QByteArray all = chartBytes(ChartSettings::defaults(), *bigStore);
        d.write(all.left(all.size() / 2));
        return QStringLiteral("No space left on device");
    });
    QCOMPARE(err, QStringLiteral("No space left on device"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
    f.close();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"verlauf.hqchart"});
    QVERIFY(loadChartFile(path).ok());
}

// The child side of killedSaveKeepsOldFile: saves a large chart over `path` the way the window
// does, but stops halfway through the stream, says so and waits to be killed.
static int saveAndHang(const QString& path) {
    auto store = makeStore(300'000);
    const QString err = saveAtomically(path, [&](QIODevice& d) {
        const QByteArray all = chartBytes(ChartSettings::defaults(), *store);
        d.write(all.left(all.size() / 2));
        if (auto* f = qobject_cast<QFileDevice*>(&d))
            f->flush();
        std::printf("half written\n");
        std::fflush(stdout);
        QThread::sleep(60);
        d.write(all.mid(all.size() / 2));
        return QString();
    });
    return err.isEmpty() ? 0 : 1;
}

void TestChartFile::killedSaveKeepsOldFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("verlauf.hqchart");
    auto oldStore = makeStore(1000);
    QCOMPARE(saveChartFile(path, ChartSettings::defaults(), *oldStore), QString());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--save-and-hang", path});
    QVERIFY(child.waitForStarted());
    QVERIFY2(child.waitForReadyRead(60'000), "the save did not get under way");
    QCOMPARE(child.readAllStandardOutput().trimmed(), QByteArray("half written"));
    child.kill(); // SIGKILL: nothing of the saving process runs after this
    QVERIFY(child.waitForFinished(10'000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
    f.close();
    const LoadedChart back = loadChartFile(path);
    QVERIFY2(back.ok(), qPrintable(back.error));
    QCOMPARE(back.store->size(), std::size_t(1000));
    // The next save replaces the file as usual.
    auto newStore = makeStore(2000);
    QCOMPARE(saveChartFile(path, ChartSettings::defaults(), *newStore), QString());
    QCOMPARE(loadChartFile(path).store->size(), std::size_t(2000));
}

void TestChartFile::fileName_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("saved");
    QTest::newRow("no extension") << "/tmp/verlauf"
                                  << "/tmp/verlauf.hqchart";
    QTest::newRow("other extension") << "/tmp/verlauf.dat"
                                     << "/tmp/verlauf.dat";
    QTest::newRow("own extension") << "/tmp/verlauf.hqchart"
                                   << "/tmp/verlauf.hqchart";
    QTest::newRow("dot in folder") << "/tmp/a.b/verlauf"
                                   << "/tmp/a.b/verlauf.hqchart";
    QTest::newRow("temporary file") << "/tmp/KOVa1b2.tmp"
                                    << "/tmp/KOVa1b2.tmp";
}

void TestChartFile::fileName() {
    QFETCH(QString, chosen);
    QFETCH(QString, saved);
    QCOMPARE(chartFileName(chosen), saved);
}

void TestChartFile::csvRows_data() {
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    QTest::newRow("header")
        << QString::fromStdString(csvHeader())
        << "time,netzf,t2_1,t2_2,temperatureBottom_degC,humidityBottom_pct,temperatureTop_degC,"
           "humidityTop_pct,l1_pct,l1Ups,t3,fehler,prog,programmphase,okTimer,tet,status,door_pct,"
           "intTimer";
    RawSample s{};
    s = {50,  1,
         2,   std::uint16_t(32768 - 5),
         453, std::uint16_t(32768 + 215),
         0,   1000,
         7,   1234,
         3,   0x81,
         4,   300,
         6,   0x01,
         100, 65535};
    QTest::newRow("row")
        << QString::fromStdString(csvRow(1'765'276'424'250, 3600, s))
        << "2025-12-09T11:33:44.250+01:00,50,1,2,-0.5,45.3,21.5,0.0,100.0,7,12.34,3,129,4,300,6,1,"
           "100,65535";
    QTest::newRow("negative offset, before 1970")
        << QString::fromStdString(formatIsoLocal(-1, -(5 * 3600 + 30 * 60)))
        << "1969-12-31T18:29:59.999-05:30";
    QTest::newRow("leap day") << QString::fromStdString(formatIsoLocal(951'782'400'000, 0))
                              << "2000-02-29T00:00:00.000+00:00";
    QTest::newRow("hundredths") << QString::fromStdString(formatScaled(5, {0, 100})) << "0.05";
    QTest::newRow("signed extremes") << QString::fromStdString(formatScaled(1, {32768, 10}) + " " +
                                                               formatScaled(65535, {32768, 10}))
                                     << "-3276.7 3276.7";
    QTest::newRow("gap")
        << QString::fromStdString(csvGapLine(0, 0, 61'000, 3600))
        << "# gap from 1970-01-01T00:00:00.000+00:00 to 1970-01-01T01:01:01.000+01:00";
}

void TestChartFile::csvRows() {
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], "--save-and-hang") == 0)
        return saveAndHang(QString::fromLocal8Bit(argv[2]));
    QCoreApplication app(argc, argv);
    TestChartFile test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_chart_file.moc"
