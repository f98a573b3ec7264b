#include "service/csv_row.h"

#include "service/plot_series.h"

#include <cstdio>

namespace hq::service {

namespace {
// Days since 1970-01-01 to civil date (proleptic Gregorian).
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = std::int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

// 0001-01-01T00:00:00.000 and 9999-12-31T23:59:59.999 as milliseconds since 1970-01-01.
constexpr std::int64_t kFirstWritableMs = -62'135'596'800'000;
constexpr std::int64_t kLastWritableMs = 253'402'300'799'999;
constexpr std::int64_t kDayMs = 86'400'000;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}
} // namespace

std::string formatIsoLocal(std::int64_t utcMs, int utcOffsetSeconds) {
    const std::int64_t local = utcMs + std::int64_t(utcOffsetSeconds) * 1000;
    const std::int64_t days = floorDiv(local, 86400000);
    const std::int64_t msOfDay = local - days * 86400000;
    std::int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    const int h = int(msOfDay / 3600000), mi = int(msOfDay / 60000 % 60),
              s = int(msOfDay / 1000 % 60), ms = int(msOfDay % 1000);
    const int off = utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d.%03d%c%02d:%02d",
                  static_cast<long long>(y), m, d, h, mi, s, ms, utcOffsetSeconds < 0 ? '-' : '+',
                  off / 3600, off / 60 % 60);
    return buf;
}

std::string formatScaled(std::uint16_t code, const SeriesEncoding& e) {
    const std::int32_t n = std::int32_t(code) - e.offset;
    const std::int32_t div = e.divisor > 0 ? e.divisor : 1;
    int digits = 0;
    for (std::int32_t d = div; d > 1; d /= 10)
        ++digits;
    const std::int32_t a = n < 0 ? -n : n;
    std::string out = n < 0 ? "-" : "";
    out += std::to_string(a / div);
    if (digits > 0) {
        std::string frac = std::to_string(a % div);
        out += '.';
        out += std::string(std::size_t(digits) - frac.size(), '0') + frac;
    }
    return out;
}

bool csvTimeMayBeWritable(std::int64_t utcMs) {
    return utcMs >= kFirstWritableMs - kDayMs && utcMs <= kLastWritableMs + kDayMs;
}

bool csvTimeWritable(std::int64_t utcMs, int utcOffsetSeconds) {
    if (!csvTimeMayBeWritable(utcMs) || utcOffsetSeconds < -86400 || utcOffsetSeconds > 86400)
        return false;
    const std::int64_t local = utcMs + std::int64_t(utcOffsetSeconds) * 1000;
    return local >= kFirstWritableMs && local <= kLastWritableMs;
}

void CsvRecordWriter::addWithOffset(std::int64_t utcMs, int offsetSeconds, const RawSample& sample,
                                    std::string& out) {
    if (!csvTimeWritable(utcMs, offsetSeconds)) {
        ++skipped_;
        return;
    }
    // Both instants lie within the years 1 to 9999, so their distance cannot overflow.
    if (havePrevious_ && utcMs - previousMs_ > gapMs_) {
        out += csvGapLine(previousMs_, previousOffset_, utcMs, offsetSeconds);
        out += '\n';
    }
    out += csvRow(utcMs, offsetSeconds, sample);
    out += '\n';
    havePrevious_ = true;
    previousMs_ = utcMs;
    previousOffset_ = offsetSeconds;
}

std::string csvHeader() {
    std::string h = "time";
    for (const auto& s : seriesSpecs()) {
        h += ',';
        h += s.csvName;
    }
    return h;
}

std::string csvRow(std::int64_t utcMs, int utcOffsetSeconds, const RawSample& sample) {
    std::string row = formatIsoLocal(utcMs, utcOffsetSeconds);
    const auto& specs = seriesSpecs();
    for (std::size_t i = 0; i < sample.size(); ++i) {
        row += ',';
        row += formatScaled(sample[i], specs[i].encoding);
    }
    return row;
}

std::string csvGapLine(std::int64_t fromUtcMs, int fromOffsetSeconds, std::int64_t toUtcMs,
                       int toOffsetSeconds) {
    return "# gap from " + formatIsoLocal(fromUtcMs, fromOffsetSeconds) + " to " +
           formatIsoLocal(toUtcMs, toOffsetSeconds);
}

} // namespace hq::service
