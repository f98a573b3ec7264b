#include "service/history_store.h"
#include "service/plot_series.h"

#include <QTest>

#include <algorithm>
#include <random>

using namespace hq::service;

namespace {
RawSample sampleOf(std::uint16_t base) {
    RawSample s{};
    for (int i = 0; i < kSeriesCount; ++i)
        s[std::size_t(i)] = std::uint16_t(base + i);
    return s;
}

// Fills a store with n records, one per second, values a noisy walk per series.
void fill(HistoryStore& store, std::size_t n, std::uint32_t seed,
          std::int64_t t0 = 1'700'000'000'000) {
    std::mt19937 rng(seed);
    RawSample s{};
    for (auto& v : s)
        v = 30000;
    for (std::size_t i = 0; i < n; ++i) {
        for (auto& v : s)
            v = std::uint16_t(v + int(rng() % 201) - 100);
        store.append(t0 + std::int64_t(i) * 1000, s);
    }
}
} // namespace

class TestHistoryStore : public QObject {
    Q_OBJECT
private slots:
    void appendAndRead();
    void decodeScales_data();
    void decodeScales();
    void rangeMatchesScan_data();
    void rangeMatchesScan();
    void chunksStayInPlace();
    void clockSteppingBack();
    void lowerBoundEdges();
    void decimationKeepsColumnShape_data();
    void decimationKeepsColumnShape();
    void decimationAllSeriesAtOnce();
    void planMatchesSearch_data();
    void planMatchesSearch();
    void decimationSparseIsExact();
    void decimationNeighboursOutsideView();
};

void TestHistoryStore::appendAndRead() {
    HistoryStore store(seriesEncodings());
    QVERIFY(store.empty());
    const std::size_t n = HistoryStore::kChunkRecords + 10; // crosses a chunk boundary
    for (std::size_t i = 0; i < n; ++i)
        store.append(std::int64_t(i) * 1000, sampleOf(std::uint16_t(i)));
    QCOMPARE(store.size(), n);
    QCOMPARE(store.chunkCount(), std::size_t(2));
    for (std::size_t i : {std::size_t(0), std::size_t(65535), std::size_t(65536), n - 1}) {
        QCOMPARE(store.timeAt(i), std::int64_t(i) * 1000);
        QCOMPARE(store.sampleAt(i), sampleOf(std::uint16_t(i)));
    }
    QCOMPARE(store.firstTime(), 0);
    QCOMPARE(store.lastTime(), std::int64_t(n - 1) * 1000);
    store.clear();
    QVERIFY(store.empty());
    QCOMPARE(store.chunkCount(), std::size_t(0));
}

void TestHistoryStore::decodeScales_data() {
    QTest::addColumn<int>("series");
    QTest::addColumn<int>("code");
    QTest::addColumn<double>("value");
    QTest::newRow("humidityTop 453") << 6 << 453 << 45.3;
    QTest::newRow("t3 1234") << 9 << 1234 << 12.34;
    QTest::newRow("temperatureTop -0.5") << 5 << (32768 - 5) << -0.5;
    QTest::newRow("temperatureBottom -3276.7") << 3 << 1 << -3276.7;
    QTest::newRow("temperatureBottom 3276.7") << 3 << 65535 << 3276.7;
    QTest::newRow("Motor 100.0") << 7 << 1000 << 100.0;
    QTest::newRow("netzf raw") << 0 << 65535 << 65535.0;
}

void TestHistoryStore::decodeScales() {
    QFETCH(int, series);
    QFETCH(int, code);
    QFETCH(double, value);
    HistoryStore store(seriesEncodings());
    RawSample s{};
    s[std::size_t(series)] = std::uint16_t(code);
    store.append(0, s);
    QCOMPARE(store.valueAt(series, 0), value);
}

void TestHistoryStore::rangeMatchesScan_data() {
    QTest::addColumn<qulonglong>("count");
    // 0: cabinet records; 1: four values only, many equal extremes;
    // 2: a sawtooth rising over each 4096 records, so blocks hold their maximum in their last
    // record and their minimum in their first; 3: codes at both ends and around the middle of
    // the 16-bit range, where a signed comparison would turn the order round.
    QTest::addColumn<int>("pattern");
    QTest::newRow("short") << qulonglong(100) << 0;
    QTest::newRow("one block2") << qulonglong(5000) << 0;
    QTest::newRow("three chunks") << qulonglong(3 * HistoryStore::kChunkRecords + 777) << 0;
    QTest::newRow("three chunks, four levels")
        << qulonglong(3 * HistoryStore::kChunkRecords + 777) << 1;
    QTest::newRow("three chunks, sawtooth")
        << qulonglong(3 * HistoryStore::kChunkRecords + 777) << 2;
    QTest::newRow("two chunks, codes at the edges")
        << qulonglong(2 * HistoryStore::kChunkRecords + 5) << 3;
}

void TestHistoryStore::rangeMatchesScan() {
    QFETCH(qulonglong, count);
    QFETCH(int, pattern);
    HistoryStore store(seriesEncodings());
    if (pattern == 1) {
        std::mt19937 levels(5);
        RawSample v{};
        for (std::size_t i = 0; i < count; ++i) {
            for (auto& x : v)
                x = std::uint16_t(100 + levels() % 4);
            store.append(1'700'000'000'000 + std::int64_t(i) * 1000, v);
        }
    } else if (pattern == 2) {
        RawSample v{};
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t s = 0; s < v.size(); ++s)
                v[s] = std::uint16_t((i + s * 1000) % 4096);
            store.append(1'700'000'000'000 + std::int64_t(i) * 1000, v);
        }
    } else if (pattern == 3) {
        constexpr std::uint16_t edges[] = {0, 1, 32767, 32768, 65534, 65535};
        std::mt19937 pick(3);
        RawSample v{};
        for (std::size_t i = 0; i < count; ++i) {
            for (auto& x : v)
                x = edges[pick() % 6];
            store.append(1'700'000'000'000 + std::int64_t(i) * 1000, v);
        }
    } else {
        fill(store, count, 7);
    }
    std::mt19937 rng(11);
    for (int trial = 0; trial < 400; ++trial) {
        std::size_t a = rng() % count, b = rng() % (count + 1);
        if (trial % 4 == 0) // aligned to block edges: the off-by-one hot spots
            a &= ~std::size_t(63), b = std::min<std::size_t>(count, (b | 4095) + 1);
        if (a > b)
            std::swap(a, b);
        const int s = int(rng() % kSeriesCount);
        const RawRange r = store.rawRange(s, a, b);
        if (a == b) {
            QVERIFY(!r.valid);
            continue;
        }
        std::uint16_t mn = 0xFFFF, mx = 0;
        for (std::size_t i = a; i < b; ++i) {
            mn = std::min(mn, store.rawAt(s, i));
            mx = std::max(mx, store.rawAt(s, i));
        }
        QVERIFY(r.valid);
        QCOMPARE(r.min, mn);
        QCOMPARE(r.max, mx);
        if (trial % 8 != 1)
            continue;
        // Every series at once (the SIMD lanes 8 to 17 overlap).
        RawSample mins{}, maxs{};
        QVERIFY(store.ranges(a, b, mins, maxs));
        for (int k = 0; k < kSeriesCount; ++k) {
            std::uint16_t kmn = 0xFFFF, kmx = 0;
            for (std::size_t i = a; i < b; ++i) {
                kmn = std::min(kmn, store.rawAt(k, i));
                kmx = std::max(kmx, store.rawAt(k, i));
            }
            QCOMPARE(mins[std::size_t(k)], kmn);
            QCOMPARE(maxs[std::size_t(k)], kmx);
        }
    }
    // A range that is still filling: the last chunk's summaries follow every append.
    const RawRange before = store.rawRange(0, 0, store.size());
    RawSample extreme{};
    extreme.fill(65535);
    store.append(store.lastTime() + 1000, extreme);
    QCOMPARE(store.rawRange(0, 0, store.size()).max, std::uint16_t(65535));
    QCOMPARE(store.rawRange(0, 0, store.size() - 1).max, before.max);
}

void TestHistoryStore::chunksStayInPlace() {
    HistoryStore store(seriesEncodings());
    fill(store, 10, 1);
    const std::int64_t* first = store.chunkTimes(0);
    fill(store, 40 * HistoryStore::kChunkRecords, 2, store.lastTime() + 1000);
    QCOMPARE(store.chunkTimes(0), first);
    QCOMPARE(first[3], store.timeAt(3));
}

void TestHistoryStore::clockSteppingBack() {
    HistoryStore store(seriesEncodings());
    store.append(10'000, sampleOf(1));
    store.append(11'000, sampleOf(2));
    // The PC clock steps back by an hour: the record is kept, at the last time stamp.
    QCOMPARE(store.append(11'000 - 3'600'000, sampleOf(3)), std::int64_t(11'000));
    QCOMPARE(store.clampedCount(), std::size_t(1));
    QCOMPARE(store.append(12'000, sampleOf(4)), std::int64_t(12'000));
    QCOMPARE(store.size(), std::size_t(4));
    for (std::size_t i = 1; i < store.size(); ++i)
        QVERIFY(store.timeAt(i - 1) <= store.timeAt(i));
    QCOMPARE(store.sampleAt(2), sampleOf(3));
    // Searches and views still see an ordered column.
    QCOMPARE(store.lowerBound(11'000), std::size_t(1));
    QCOMPARE(store.lowerBound(11'001), std::size_t(3));
    const ColumnPlan p = store.plan(10'000, 12'000, 2);
    QCOMPARE(p.bounds.front(), std::size_t(0));
    QCOMPARE(p.bounds.back(), std::size_t(4));
}

void TestHistoryStore::lowerBoundEdges() {
    HistoryStore store(seriesEncodings());
    QCOMPARE(store.lowerBound(5), std::size_t(0));
    fill(store, HistoryStore::kChunkRecords * 2, 3, 0);
    QCOMPARE(store.lowerBound(-1), std::size_t(0));
    QCOMPARE(store.lowerBound(0), std::size_t(0));
    QCOMPARE(store.lowerBound(0.5), std::size_t(1));
    QCOMPARE(store.lowerBound(65536.0 * 1000), std::size_t(65536));
    QCOMPARE(store.lowerBound(65535.0 * 1000 + 1), std::size_t(65536));
    QCOMPARE(store.lowerBound(1e18), store.size());
}

void TestHistoryStore::decimationKeepsColumnShape_data() {
    QTest::addColumn<int>("columns");
    QTest::addColumn<double>("fromFraction");
    QTest::addColumn<double>("toFraction");
    QTest::newRow("full, 1600 px") << 1600 << 0.0 << 1.0;
    QTest::newRow("full, 7 px") << 7 << 0.0 << 1.0;
    QTest::newRow("middle, 900 px") << 900 << 0.3 << 0.55;
    QTest::newRow("beyond the data") << 500 << -0.5 << 1.5;
}

void TestHistoryStore::decimationKeepsColumnShape() {
    QFETCH(int, columns);
    QFETCH(double, fromFraction);
    QFETCH(double, toFraction);
    HistoryStore store(seriesEncodings());
    const std::size_t n = 200'000;
    fill(store, n, 5);
    const double t0 = double(store.firstTime()), span = double(store.lastTime()) - t0;
    const double from = t0 + span * fromFraction, to = t0 + span * toFraction;
    const ColumnPlan plan = store.plan(from, to, columns);
    QCOMPARE(plan.bounds.size(), std::size_t(columns) + 1);
    std::vector<PlotPoint> pts;
    for (int s : {0, 5, 17}) {
        store.decimate(plan, s, pts);
        QVERIFY(std::is_sorted(pts.begin(), pts.end(),
                               [](auto& a, auto& b) { return a.timeMs < b.timeMs; }));
        const double step = (to - from) / columns;
        for (int c = 0; c < columns; ++c) {
            const double lo = from + step * c, hi = from + step * (c + 1);
            // Every column: at most four points, first and last real, extremes exact.
            std::vector<PlotPoint> in;
            for (const auto& p : pts)
                if (double(p.timeMs) >= lo && (double(p.timeMs) < hi || c == columns - 1) &&
                    double(p.timeMs) <= to)
                    in.push_back(p);
            const std::size_t a = store.lowerBound(lo), e = plan.bounds[std::size_t(c) + 1];
            QCOMPARE(a, plan.bounds[std::size_t(c)]);
            if (a == e) {
                QVERIFY(in.empty());
                continue;
            }
            QVERIFY2(in.size() <= 4,
                     qPrintable(QString("column %1: %2 points").arg(c).arg(in.size())));
            QCOMPARE(in.front().timeMs, store.timeAt(a));
            QCOMPARE(in.front().value, store.valueAt(s, a));
            QCOMPARE(in.back().timeMs, store.timeAt(e - 1));
            QCOMPARE(in.back().value, store.valueAt(s, e - 1));
            double mn = 1e300, mx = -1e300, pmn = 1e300, pmx = -1e300;
            for (std::size_t i = a; i < e; ++i)
                mn = std::min(mn, store.valueAt(s, i)), mx = std::max(mx, store.valueAt(s, i));
            for (const auto& p : in)
                pmn = std::min(pmn, p.value), pmx = std::max(pmx, p.value);
            QCOMPARE(pmn, mn);
            QCOMPARE(pmx, mx);
        }
        QCOMPARE(plan.hasBefore, fromFraction > 0);
        QCOMPARE(plan.hasAfter, toFraction < 1);
    }
}

void TestHistoryStore::decimationAllSeriesAtOnce() {
    HistoryStore store(seriesEncodings());
    fill(store, 150'000, 8);
    const ColumnPlan plan =
        store.plan(double(store.timeAt(20'000)), double(store.timeAt(140'000)), 1200);
    SeriesPoints all;
    const std::uint32_t mask = (1u << 0) | (1u << 7) | (1u << 10) | (1u << 17);
    store.decimate(plan, mask, all);
    std::vector<PlotPoint> one;
    for (int s = 0; s < kSeriesCount; ++s) {
        if (!(mask & (1u << s))) {
            QVERIFY(all[std::size_t(s)].empty());
            continue;
        }
        store.decimate(plan, s, one);
        QVERIFY(!one.empty());
        QCOMPARE(all[std::size_t(s)], one);
    }
}

void TestHistoryStore::planMatchesSearch_data() {
    QTest::addColumn<int>("pattern");
    QTest::addColumn<int>("columns");
    // 0: one record a second; 1: an hour missing now and then; 2: bursts of records on one
    // time stamp (a clock held back); 3: the pace slowing down steadily.
    for (int columns : {1, 7, 1600, 5000}) {
        for (int pattern = 0; pattern < 4; ++pattern)
            QTest::addRow("pattern %d, %d columns", pattern, columns) << pattern << columns;
    }
}

void TestHistoryStore::planMatchesSearch() {
    QFETCH(int, pattern);
    QFETCH(int, columns);
    HistoryStore store(seriesEncodings());
    std::mt19937 rng(13);
    std::int64_t t = 1'700'000'000'000;
    for (std::size_t i = 0; i < 2 * HistoryStore::kChunkRecords + 99; ++i) {
        store.append(t, RawSample{});
        switch (pattern) {
        case 0:
            t += 1000;
            break;
        case 1:
            t += (rng() % 20'000 == 0) ? 3'600'000 : 1000;
            break;
        case 2:
            t += (i % 3000 < 1000) ? 0 : 1000;
            break;
        default:
            t += 1 + std::int64_t(i / 64);
            break;
        }
    }
    const double from = double(store.firstTime()) - 5000, to = double(store.lastTime()) + 5000;
    const ColumnPlan plan = store.plan(from, to, columns);
    QCOMPARE(plan.bounds.size(), std::size_t(columns) + 1);
    const double step = (to - from) / columns;
    for (int c = 0; c < columns; ++c)
        QCOMPARE(plan.bounds[std::size_t(c)], store.lowerBound(from + step * c));
    QCOMPARE(plan.bounds.back(), store.size());
}

void TestHistoryStore::decimationSparseIsExact() {
    // Fewer records than pixels: every record comes back unchanged.
    HistoryStore store(seriesEncodings());
    fill(store, 300, 9);
    const ColumnPlan plan = store.plan(double(store.firstTime()), double(store.lastTime()), 1600);
    std::vector<PlotPoint> pts;
    store.decimate(plan, 4, pts);
    QCOMPARE(pts.size(), std::size_t(300));
    for (std::size_t i = 0; i < pts.size(); ++i)
        QCOMPARE(pts[i], (PlotPoint{store.timeAt(i), store.valueAt(4, i)}));
}

void TestHistoryStore::decimationNeighboursOutsideView() {
    HistoryStore store(seriesEncodings());
    fill(store, 1000, 4, 0);
    const ColumnPlan plan = store.plan(100'500, 200'500, 50);
    std::vector<PlotPoint> pts;
    store.decimate(plan, 1, pts);
    QCOMPARE(pts.front().timeMs, std::int64_t(100'000)); // the record just left of the view
    QCOMPARE(pts.back().timeMs, std::int64_t(201'000));  // and just right of it
    // A view with no data inside still draws the line between its neighbours.
    const ColumnPlan gap = store.plan(100'100, 100'900, 10);
    store.decimate(gap, 1, pts);
    QCOMPARE(pts.size(), std::size_t(2));
}

QTEST_GUILESS_MAIN(TestHistoryStore)
#include "test_history_store.moc"
