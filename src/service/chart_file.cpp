#include "service/chart_file.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <vector>

namespace hq::service {

namespace {

constexpr char kMagic[8] = {'H', 'Q', 'C', 'H', 'A', 'R', 'T', '\x1A'};
constexpr quint32 kMaxSettingsBytes = 64 * 1024;
constexpr int kMaxTitleBytes = 1024;

quint32 crc32(const char* data, qint64 size, quint32 crc = 0) {
    static const auto kTable = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (qint64 i = 0; i < size; ++i)
        crc = kTable[(crc ^ quint8(data[i])) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// Little-endian writer into a byte buffer.
class Out {
public:
    template <typename T> void put(T v) {
        char b[sizeof(T)];
        qToLittleEndian(v, b);
        bytes.append(b, sizeof(T));
    }
    void putDouble(double d) {
        quint64 u;
        std::memcpy(&u, &d, sizeof u);
        put(u);
    }
    void putColour(const QColor& c) { put(quint32(c.rgba())); }
    void putText(const QString& s) {
        QByteArray u = s.toUtf8().left(kMaxTitleBytes);
        put(quint16(u.size()));
        bytes.append(u);
    }
    QByteArray bytes;
};

// Little-endian reader over a byte buffer; `ok` turns false on the first short read.
class In {
public:
    explicit In(const QByteArray& b) : bytes(b) {}
    template <typename T> T get() {
        if (pos + qsizetype(sizeof(T)) > bytes.size()) {
            ok = false;
            return T{};
        }
        T v = qFromLittleEndian<T>(bytes.constData() + pos);
        pos += sizeof(T);
        return v;
    }
    double getDouble() {
        const quint64 u = get<quint64>();
        double d;
        std::memcpy(&d, &u, sizeof d);
        return d;
    }
    QColor getColour() { return QColor::fromRgba(get<quint32>()); }
    QString getText() {
        const quint16 n = get<quint16>();
        if (n > kMaxTitleBytes || pos + n > bytes.size()) {
            ok = false;
            return {};
        }
        QString s = QString::fromUtf8(bytes.constData() + pos, n);
        pos += n;
        return s;
    }
    bool atEnd() const { return pos == bytes.size(); }
    const QByteArray& bytes;
    qsizetype pos = 0;
    bool ok = true;
};

QByteArray encodeSettings(const ChartSettings& s,
                          const std::array<SeriesEncoding, kSeriesCount>& encodings) {
    Out o;
    o.put(quint8(s.legendVisible));
    for (const AxisSettings* a : {&s.left, &s.bottom}) {
        o.putDouble(a->min);
        o.putDouble(a->max);
        o.put(quint8(a->automatic));
        o.put(quint8(a->grid));
    }
    o.putColour(s.backgroundFrom);
    o.putColour(s.backgroundTo);
    o.putColour(s.plotArea);
    for (int i = 0; i < kSeriesCount; ++i) {
        const SeriesStyle& st = s.series[std::size_t(i)];
        o.putText(st.title);
        o.putColour(st.colour);
        o.put(quint8(st.penWidth));
        o.put(quint8(st.style));
        o.put(quint8(st.kind));
        o.put(quint8(st.visible));
        o.put(qint32(encodings[std::size_t(i)].offset));
        o.put(qint32(encodings[std::size_t(i)].divisor));
    }
    return o.bytes;
}

bool writeAll(QIODevice& out, const QByteArray& b) {
    return out.write(b) == b.size();
}

QString writeError(QIODevice& out) {
    const QString why = out.errorString();
    return why.isEmpty() ? QStringLiteral("The chart file could not be written.")
                         : QStringLiteral("The chart file could not be written: %1").arg(why);
}

// Reads exactly n bytes or reports truncation.
bool readExactly(QIODevice& in, qint64 n, QByteArray& into) {
    into.resize(qsizetype(n));
    qint64 got = 0;
    while (got < n) {
        const qint64 r = in.read(into.data() + got, n - got);
        if (r <= 0) {
            if (r == 0 && in.waitForReadyRead(0))
                continue;
            into.resize(qsizetype(got));
            return false;
        }
        got += r;
    }
    return true;
}

LoadedChart fail(const QString& why) {
    LoadedChart r;
    r.error = why;
    return r;
}

const QString kTruncated = QStringLiteral("The chart file is incomplete (it ends too early).");
QString damaged(const QString& what) {
    return QStringLiteral("The chart file is damaged (%1).").arg(what);
}

} // namespace

quint32 chartFileCrc32(const char* data, qint64 size, quint32 crc) {
    return crc32(data, size, crc);
}

QString chartFileName(const QString& chosen) {
    const QFileInfo fi(chosen);
    return fi.suffix().isEmpty() && !fi.fileName().endsWith(QLatin1Char('.'))
               ? chosen + QStringLiteral(".hqchart")
               : chosen;
}

QString writeChartStream(QIODevice& out, const ChartSettings& settings,
                         const std::array<SeriesEncoding, kSeriesCount>& encodings,
                         const ChartRecordSource& next) {
    Out head;
    head.bytes.append(kMagic, sizeof kMagic);
    head.put(kChartFileVersion);
    head.put(quint16(kSeriesCount));
    const QByteArray set = encodeSettings(settings, encodings);
    head.put(quint32(set.size()));
    head.bytes.append(set);
    head.put(crc32(set.constData(), set.size()));
    if (!writeAll(out, head.bytes))
        return writeError(out);

    // One block per batch: count, time stamps, then the codes series by series.
    QByteArray block;
    std::vector<std::int64_t> times;
    std::vector<RawSample> samples;
    QString error;
    quint64 n = 0;
    while (next(times, samples, error)) {
        if (!error.isEmpty())
            return error;
        const std::size_t count = std::min(times.size(), samples.size());
        if (count == 0)
            continue;
        if (count > HistoryStore::kChunkRecords)
            return QStringLiteral("The chart file could not be written (a block is too large).");
        block.resize(4 + qsizetype(count) * 8 + qsizetype(count) * 2 * kSeriesCount + 4);
        char* p = block.data();
        qToLittleEndian(quint32(count), p);
        p += 4;
        for (std::size_t i = 0; i < count; ++i, p += 8)
            qToLittleEndian(qint64(times[i]), p);
        for (int s = 0; s < kSeriesCount; ++s)
            for (std::size_t i = 0; i < count; ++i, p += 2)
                qToLittleEndian(quint16(samples[i][std::size_t(s)]), p);
        qToLittleEndian(crc32(block.constData(), p - block.constData()), p);
        if (!writeAll(out, block))
            return writeError(out);
        n += count;
    }
    if (!error.isEmpty())
        return error;
    Out tail;
    tail.put(quint32(0));
    tail.put(quint64(n));
    tail.put(crc32(tail.bytes.constData(), tail.bytes.size()));
    if (!writeAll(out, tail.bytes))
        return writeError(out);
    return {};
}

QString writeChart(QIODevice& out, const ChartSettings& settings, const HistoryStore& store) {
    std::array<SeriesEncoding, kSeriesCount> encodings{};
    for (int i = 0; i < kSeriesCount; ++i)
        encodings[std::size_t(i)] = store.encoding(i);
    std::size_t start = 0;
    return writeChartStream(
        out, settings, encodings,
        [&](std::vector<std::int64_t>& times, std::vector<RawSample>& samples, QString&) {
            const std::size_t n = store.size();
            if (start >= n)
                return false;
            const std::size_t count = std::min(HistoryStore::kChunkRecords, n - start);
            times.resize(count);
            samples.resize(count);
            for (std::size_t i = 0; i < count; ++i) {
                times[i] = store.timeAt(start + i);
                samples[i] = store.sampleAt(start + i);
            }
            start += count;
            return true;
        });
}

QString saveAtomically(const QString& path, const std::function<QString(QIODevice&)>& writer) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("Cannot create \"%1\": %2").arg(path, file.errorString());
    const QString error = writer(file);
    if (!error.isEmpty()) {
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return QStringLiteral("Cannot write \"%1\": %2").arg(path, file.errorString());
    return {};
}

QString saveChartFile(const QString& path, const ChartSettings& settings,
                      const HistoryStore& store) {
    return saveAtomically(path, [&](QIODevice& d) { return writeChart(d, settings, store); });
}

LoadedChart readChart(QIODevice& in) {
    QByteArray buf;
    if (!readExactly(in, 16, buf)) {
        if (buf.startsWith(QByteArray(kMagic, qsizetype(std::min<qint64>(buf.size(), 8)))) &&
            !buf.isEmpty())
            return fail(kTruncated);
        return fail(QStringLiteral("This is not a chart file."));
    }
    if (std::memcmp(buf.constData(), kMagic, sizeof kMagic) != 0)
        return fail(QStringLiteral("This is not a chart file."));
    const auto version = qFromLittleEndian<quint16>(buf.constData() + 8);
    const auto series = qFromLittleEndian<quint16>(buf.constData() + 10);
    const auto setSize = qFromLittleEndian<quint32>(buf.constData() + 12);
    if (version != kChartFileVersion)
        return fail(QStringLiteral("The chart file has format version %1; this program reads "
                                   "version %2.")
                        .arg(version)
                        .arg(kChartFileVersion));
    if (series != kSeriesCount)
        return fail(
            damaged(QStringLiteral("%1 series instead of %2").arg(series).arg(kSeriesCount)));
    if (setSize > kMaxSettingsBytes)
        return fail(damaged(QStringLiteral("settings too large")));

    QByteArray set, crcBytes;
    if (!readExactly(in, setSize, set) || !readExactly(in, 4, crcBytes))
        return fail(kTruncated);
    if (crc32(set.constData(), set.size()) != qFromLittleEndian<quint32>(crcBytes.constData()))
        return fail(damaged(QStringLiteral("checksum error in the settings")));

    ChartSettings s;
    std::array<SeriesEncoding, kSeriesCount> enc{};
    In r(set);
    s.legendVisible = r.get<quint8>() != 0;
    for (AxisSettings* a : {&s.left, &s.bottom}) {
        a->min = r.getDouble();
        a->max = r.getDouble();
        a->automatic = r.get<quint8>() != 0;
        a->grid = r.get<quint8>() != 0;
        if (!std::isfinite(a->min) || !std::isfinite(a->max))
            return fail(damaged(QStringLiteral("axis range is not a number")));
    }
    s.backgroundFrom = r.getColour();
    s.backgroundTo = r.getColour();
    s.plotArea = r.getColour();
    for (int i = 0; i < kSeriesCount && r.ok; ++i) {
        SeriesStyle& st = s.series[std::size_t(i)];
        st.title = r.getText();
        st.colour = r.getColour();
        st.penWidth = r.get<quint8>();
        const quint8 style = r.get<quint8>(), kind = r.get<quint8>();
        st.visible = r.get<quint8>() != 0;
        enc[std::size_t(i)].offset = r.get<qint32>();
        enc[std::size_t(i)].divisor = r.get<qint32>();
        if (!r.ok)
            break;
        if (style > quint8(LineStyle::DashDotDot) || kind > quint8(SeriesKind::Area) ||
            st.penWidth < 1 || st.penWidth > 20 || enc[std::size_t(i)].divisor < 1 ||
            enc[std::size_t(i)].divisor > 1000000 || enc[std::size_t(i)].offset < 0 ||
            enc[std::size_t(i)].offset > 65535)
            return fail(damaged(QStringLiteral("invalid settings of series %1").arg(i)));
        st.style = LineStyle(style);
        st.kind = SeriesKind(kind);
    }
    if (!r.ok || !r.atEnd())
        return fail(damaged(QStringLiteral("settings of the wrong length")));

    auto store = std::make_unique<HistoryStore>(enc);
    QByteArray block;
    RawSample sample{};
    for (;;) {
        QByteArray countBytes;
        if (!readExactly(in, 4, countBytes))
            return fail(kTruncated);
        const auto count = qFromLittleEndian<quint32>(countBytes.constData());
        if (count == 0) {
            QByteArray end;
            if (!readExactly(in, 12, end))
                return fail(kTruncated);
            const QByteArray all = countBytes + end.left(8);
            if (crc32(all.constData(), all.size()) !=
                qFromLittleEndian<quint32>(end.constData() + 8))
                return fail(damaged(QStringLiteral("checksum error at the end")));
            if (qFromLittleEndian<quint64>(end.constData()) != store->size())
                return fail(damaged(QStringLiteral("record count does not match")));
            char extra;
            if (in.read(&extra, 1) > 0)
                return fail(damaged(QStringLiteral("unexpected data after the end")));
            break;
        }
        if (count > HistoryStore::kChunkRecords)
            return fail(damaged(QStringLiteral("record block too large")));
        const qint64 body = qint64(count) * (8 + 2 * kSeriesCount) + 4;
        if (!readExactly(in, body, block))
            return fail(kTruncated);
        quint32 crc = crc32(countBytes.constData(), 4);
        crc = crc32(block.constData(), body - 4, crc);
        if (crc != qFromLittleEndian<quint32>(block.constData() + body - 4))
            return fail(damaged(QStringLiteral("checksum error in record %1").arg(store->size())));
        const char* times = block.constData();
        const char* codes = times + qsizetype(count) * 8;
        for (quint32 i = 0; i < count; ++i) {
            const auto t = qFromLittleEndian<qint64>(times + qsizetype(i) * 8);
            if (!store->empty() && t < store->lastTime())
                return fail(damaged(QStringLiteral("time stamps out of order")));
            for (int k = 0; k < kSeriesCount; ++k)
                sample[std::size_t(k)] =
                    qFromLittleEndian<quint16>(codes + (qsizetype(k) * count + i) * 2);
            store->append(t, sample);
        }
    }
    LoadedChart ok;
    ok.settings = s;
    ok.store = std::move(store);
    return ok;
}

LoadedChart loadChartFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("Cannot open \"%1\": %2").arg(path, f.errorString()));
    LoadedChart r = readChart(f);
    if (!r.ok())
        r.error = QStringLiteral("%1: %2").arg(QFileInfo(path).fileName(), r.error);
    return r;
}

} // namespace hq::service
