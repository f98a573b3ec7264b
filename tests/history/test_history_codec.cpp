// The column codec: every encoding gives back exactly what it was given, the chosen one is the
// shortest, and malformed bytes are refused rather than read.
#include "history/codec.h"

#include <QTest>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

using hq::history::decodeColumn;
using hq::history::Encoding;
using Values = std::vector<std::int64_t>;
Q_DECLARE_METATYPE(Values)

namespace {
Values noisyWalk(std::size_t n, int step, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Values v(n);
    std::int64_t x = 400;
    for (auto& e : v) {
        x += std::int64_t(rng() % unsigned(2 * step + 1)) - step;
        e = x;
    }
    return v;
}

std::string encodeAs(Encoding e, const Values& v) {
    std::string out;
    hq::history::encodeColumnAs(e, v, out);
    return out;
}

std::span<const std::uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
} // namespace

class TestHistoryCodec : public QObject {
    Q_OBJECT
private slots:
    void everyEncodingGivesBackItsValues_data();
    void everyEncodingGivesBackItsValues();
    void chosenEncodingIsTheShortest_data();
    void chosenEncodingIsTheShortest();
    void malformedColumnsAreRefused_data();
    void malformedColumnsAreRefused();
    void truncatedColumnIsRefusedAtEveryLength();
    void varintsRoundTrip();
};

void TestHistoryCodec::everyEncodingGivesBackItsValues_data() {
    QTest::addColumn<Values>("values");
    constexpr auto lo = std::numeric_limits<std::int64_t>::min();
    constexpr auto hi = std::numeric_limits<std::int64_t>::max();
    QTest::newRow("one value") << Values{42};
    QTest::newRow("constant") << Values(1000, 7);
    QTest::newRow("counter") << [] {
        Values v(1024);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = std::int64_t(i % 300);
        return v;
    }();
    QTest::newRow("noisy humidity") << noisyWalk(1024, 2, 1);
    QTest::newRow("steps of ten") << [] {
        Values v = noisyWalk(1024, 2, 2);
        for (auto& x : v)
            x *= 10;
        return v;
    }();
    QTest::newRow("time stamps with jitter") << [] {
        Values v(1024);
        std::mt19937 rng(3);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = 1'765'000'000'000 + std::int64_t(i) * 1000 + std::int64_t(rng() % 17);
        return v;
    }();
    QTest::newRow("negative temperatures") << Values{-32768, -5, 0, 5, 32767, -1};
    QTest::newRow("full 32 bits") << Values{0, 0xFFFFFFFFll, 0xC0A80114ll, 1};
    QTest::newRow("int64 extremes") << Values{lo, hi, 0, lo, -1, hi};
    QTest::newRow("differences wrap around") << Values{hi, lo, hi, lo};
}

void TestHistoryCodec::everyEncodingGivesBackItsValues() {
    QFETCH(Values, values);
    for (int e = 0; e <= 4; ++e) {
        if (Encoding(e) == Encoding::Constant &&
            std::any_of(values.begin(), values.end(), [&](auto x) { return x != values[0]; }))
            continue;
        const std::string bytes = encodeAs(Encoding(e), values);
        Values back(values.size(), -99);
        QVERIFY2(decodeColumn(bytesOf(bytes), back), qPrintable(QString("encoding %1").arg(e)));
        QCOMPARE(back, values);
    }
    std::string chosen;
    hq::history::encodeColumn(values, chosen);
    Values back(values.size());
    QVERIFY(decodeColumn(bytesOf(chosen), back));
    QCOMPARE(back, values);
}

void TestHistoryCodec::chosenEncodingIsTheShortest_data() {
    QTest::addColumn<Values>("values");
    QTest::addColumn<int>("expected");
    QTest::newRow("constant") << Values(500, 3) << int(Encoding::Constant);
    QTest::newRow("steady counter: differences of zero width") << [] {
        Values v(1000);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = std::int64_t(i);
        return v;
    }() << int(Encoding::DeltaPacked);
    QTest::newRow("counter that restarts now and then") << [] {
        Values v(1000);
        for (std::size_t i = 0; i < v.size(); ++i)
            v[i] = std::int64_t(i % 300) * 1000;
        return v;
    }() << int(Encoding::DeltaRuns);
    QTest::newRow("rare steps") << [] {
        Values v(1000, 600);
        std::fill(v.begin() + 400, v.end(), 800);
        return v;
    }() << int(Encoding::Runs);
    QTest::newRow("random walk") << noisyWalk(1000, 1, 5) << int(Encoding::DeltaPacked);
    QTest::newRow("noise in a narrow band") << [] {
        std::mt19937 rng(9);
        Values v(1000);
        for (auto& x : v)
            x = 498 + std::int64_t(rng() % 5);
        return v;
    }() << int(Encoding::Packed);
}

void TestHistoryCodec::chosenEncodingIsTheShortest() {
    QFETCH(Values, values);
    QFETCH(int, expected);
    QCOMPARE(int(hq::history::chooseEncoding(values)), expected);
    std::string chosen;
    hq::history::encodeColumn(values, chosen);
    for (int e = 1; e <= 4; ++e)
        QVERIFY(chosen.size() <= encodeAs(Encoding(e), values).size());
}

void TestHistoryCodec::malformedColumnsAreRefused_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("count");
    QTest::newRow("empty") << QByteArray() << 3;
    QTest::newRow("unknown tag") << QByteArray("\x07\x02", 2) << 1;
    QTest::newRow("width above 64") << QByteArray("\x01\x00\x01\x41", 4) << 1;
    QTest::newRow("scale zero") << QByteArray("\x01\x00\x00\x01\x00", 5) << 1;
    QTest::newRow("runs short of the count") << QByteArray("\x03\x01\x02\x02", 4) << 3;
    QTest::newRow("runs beyond the count") << QByteArray("\x03\x01\x02\x05", 4) << 3;
    QTest::newRow("run of zero length") << QByteArray("\x03\x02\x02\x00\x02\x03", 6) << 3;
    QTest::newRow("bytes left over") << QByteArray("\x00\x02\x00", 3) << 2;
    QTest::newRow("varint longer than 64 bits")
        << QByteArray("\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 11) << 1;
    QTest::newRow("huge count of packed bits") << QByteArray("\x01\x00\x01\x40", 4) << 100000;
}

void TestHistoryCodec::malformedColumnsAreRefused() {
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    Values out(static_cast<std::size_t>(count));
    QVERIFY(!decodeColumn(
        {reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size())},
        out));
}

void TestHistoryCodec::truncatedColumnIsRefusedAtEveryLength() {
    const Values v = noisyWalk(300, 3, 11);
    for (int e = 1; e <= 4; ++e) {
        const std::string bytes = encodeAs(Encoding(e), v);
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            Values out(v.size());
            QVERIFY2(!decodeColumn(bytesOf(bytes).first(cut), out),
                     qPrintable(QString("encoding %1 cut at %2").arg(e).arg(cut)));
        }
    }
}

void TestHistoryCodec::varintsRoundTrip() {
    for (const std::int64_t v :
         {std::int64_t(0), std::int64_t(-1), std::int64_t(63), std::int64_t(-64),
          std::int64_t(1) << 40, std::numeric_limits<std::int64_t>::min(),
          std::numeric_limits<std::int64_t>::max()}) {
        std::string s;
        hq::history::putVarint(s, hq::history::zigZag(v));
        hq::history::ByteReader r(bytesOf(s));
        QCOMPARE(r.signedVarint(), v);
        QVERIFY(r.ok() && r.atEnd());
    }
}

QTEST_APPLESS_MAIN(TestHistoryCodec)
#include "test_history_codec.moc"
