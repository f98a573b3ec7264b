// The outbox of records on their way to a broker: what the broker has not acknowledged is offered
// again, in order, from memory or from the stored history; the position survives a restart and
// never skips a record that is still stored.
#include "fleet/outbox.h"

#include "../history/history_test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace hq::fleet;
using hq::testing::IndexedRow;
using hq::testing::WriteRows;

namespace {

const QString kPosition = QStringLiteral("mqtt-test.position");

void writePosition(const QString& dir, const QByteArray& content) {
    QFile f(QDir(dir).filePath(kPosition));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

// Offers everything there is and acknowledges it; the sequence numbers offered, in order.
std::vector<std::uint64_t> drain(Outbox& box, bool acknowledge = true) {
    std::vector<std::uint64_t> seen;
    while (auto r = box.next()) {
        if (r->row != IndexedRow(r->sequence))
            return {}; // a record offered under another record's number
        seen.push_back(r->sequence);
        if (acknowledge)
            box.acknowledged(r->sequence);
    }
    return seen;
}

std::vector<std::uint64_t> range(std::uint64_t from, std::uint64_t to) {
    std::vector<std::uint64_t> v;
    for (auto i = from; i < to; ++i)
        v.push_back(i);
    return v;
}

} // namespace

class TestOutbox : public QObject {
    Q_OBJECT
private slots:
    void newCabinetStartsWithThisRun() {
        QTemporaryDir dir;
        WriteRows(dir.path(), 0, 300);
        Outbox box(dir.path(), kPosition);
        QVERIFY(box.open(300).ok());
        QVERIFY(!box.next()); // the history from before is not sent
        box.push(300, IndexedRow(300));
        QCOMPARE(drain(box), range(300, 301));
        QCOMPARE(box.position(), 301u);
    }

    // A restart after the broker was away: everything after the saved position comes back from
    // the stored history (blocks and the journal of the open block), then the new records.
    void savedPositionResumesFromTheStoredHistory_data() {
        QTest::addColumn<int>("memory");
        QTest::newRow("newest records in memory") << 4096;
        QTest::newRow("memory holds one record") << 1;
    }
    void savedPositionResumesFromTheStoredHistory() {
        QFETCH(int, memory);
        QTemporaryDir dir;
        {
            std::vector<std::string> notices;
            auto w = hq::history::ArchiveWriter::open(dir.path(), "12345678",
                                                      hq::testing::SmallBlocks(64), notices);
            QVERIFY(w.ok());
            for (std::uint64_t i = 0; i < 1000; ++i)
                QVERIFY((*w)->append(IndexedRow(i)).ok());
            QVERIFY((*w)->flush().ok()); // 1000 = 15 blocks of 64 and 40 rows in the journal
            writePosition(dir.path(), "acknowledged-below=137\n");
            Outbox box(dir.path(), kPosition, std::size_t(memory));
            QVERIFY(box.open((*w)->nextSequence()).ok());
            QCOMPARE(box.backlog(), 1000u - 137u);
            for (std::uint64_t i = 1000; i < 1010; ++i) {
                QVERIFY((*w)->append(IndexedRow(i)).ok());
                QVERIFY((*w)->flush().ok());
                box.push(i, IndexedRow(i));
            }
            QCOMPARE(drain(box), range(137, 1010));
            QCOMPARE(box.skipped(), 0u);
            QVERIFY(box.save().ok());
        }
        Outbox again(dir.path(), kPosition);
        QVERIFY(again.open(1010).ok());
        QCOMPARE(again.position(), 1010u);
    }

    void positionMovesOnlyOverAnUnbrokenRunOfAcknowledgements() {
        QTemporaryDir dir;
        Outbox box(dir.path(), kPosition);
        QVERIFY(box.open(10).ok());
        for (std::uint64_t i = 10; i < 14; ++i)
            box.push(i, IndexedRow(i));
        for (int i = 0; i < 4; ++i)
            QVERIFY(box.next());
        box.acknowledged(12);
        box.acknowledged(11);
        QCOMPARE(box.position(), 10u);
        QCOMPARE(box.inFlight(), 2u);
        box.acknowledged(10);
        QCOMPARE(box.position(), 13u);
        box.acknowledged(13);
        QCOMPARE(box.position(), 14u);
        QCOMPARE(box.backlog(), 0u);
    }

    // A connection that is gone for good takes its unacknowledged records with it: they are
    // offered again, in order, and one that could not be sent is taken back.
    void rewindAndRetractOfferAgain() {
        QTemporaryDir dir;
        Outbox box(dir.path(), kPosition);
        QVERIFY(box.open(0).ok());
        for (std::uint64_t i = 0; i < 6; ++i)
            box.push(i, IndexedRow(i));
        for (int i = 0; i < 4; ++i)
            QVERIFY(box.next());
        box.acknowledged(0);
        box.acknowledged(2);
        box.rewind();
        QCOMPARE(box.position(), 1u);
        auto r = box.next();
        QVERIFY(r);
        QCOMPARE(r->sequence, 1u);
        box.retract(1);
        QCOMPARE(drain(box), range(1, 6)); // 2 again too: acknowledged out of order, rewound
    }

    // Records the stored history no longer has (dropped by retention) are skipped, not waited
    // for; the ones still there all come.
    void recordsNoLongerStoredAreSkipped() {
        QTemporaryDir dir;
        hq::history::WriterOptions small = hq::testing::SmallBlocks(64);
        small.maxSegmentBytes = 1; // a segment per block
        WriteRows(dir.path(), 0, 256, small);
        const QStringList segments =
            QDir(dir.path()).entryList({QStringLiteral("*.hqseg")}, QDir::Files, QDir::Name);
        QCOMPARE(segments.size(), 4);
        QVERIFY(QFile::remove(QDir(dir.path()).filePath(segments[0])));
        QVERIFY(QFile::remove(QDir(dir.path()).filePath(segments[1])));
        writePosition(dir.path(), "acknowledged-below=5\n");
        Outbox box(dir.path(), kPosition);
        QVERIFY(box.open(256).ok());
        QCOMPARE(drain(box), range(128, 256));
        QCOMPARE(box.skipped(), 123u);
        QCOMPARE(box.position(), 256u);
    }

    void unusablePositionFileStartsWithThisRun_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("garbage") << QByteArray("\x01\x02 nonsense");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("negative") << QByteArray("acknowledged-below=-4\n");
        QTest::newRow("ahead of the history") << QByteArray("acknowledged-below=900\n");
    }
    void unusablePositionFileStartsWithThisRun() {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        WriteRows(dir.path(), 0, 100);
        writePosition(dir.path(), content);
        Outbox box(dir.path(), kPosition);
        const auto opened = box.open(100);
        QVERIFY(!opened.ok());
        QVERIFY(opened.error().message.find(kPosition.toStdString()) != std::string::npos);
        QCOMPARE(box.position(), 100u);
        QVERIFY(!box.next());
        QVERIFY(box.save().ok()); // and the file is usable again
        Outbox again(dir.path(), kPosition);
        QVERIFY(again.open(100).ok());
        QCOMPARE(again.position(), 100u);
    }

    void positionFileNamesAreSafe() {
        QCOMPARE(positionFileName(QStringLiteral("broker.example"), 1883,
                                  QStringLiteral("plant 1/hq3746")),
                 QStringLiteral("mqtt-broker.example-1883-plant_1_hq3746.position"));
        QCOMPARE(positionFileName(QStringLiteral("::1"), 8883, QStringLiteral("../x")),
                 QStringLiteral("mqtt-__1-8883-.._x.position"));
    }
};

QTEST_GUILESS_MAIN(TestOutbox)
#include "test_outbox.moc"
