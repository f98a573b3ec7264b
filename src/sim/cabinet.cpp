#include "sim/cabinet.h"

#include <algorithm>
#include <ctime>
#include <deque>
#include <mutex>

#include "protocol/command_frame.h"
#include "sim/encoder.h"
#include "sim/random.h"

namespace hq::sim {

namespace {

using namespace std::chrono;
using protocol::StatusRecord;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    int year, month, day, hour, minute, second;
};

Civil civilFromSeconds(std::int64_t t) {
    std::int64_t days = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
    std::int64_t rem = t - days * 86400;
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    return {static_cast<int>(y),
            static_cast<int>(m),
            static_cast<int>(d),
            static_cast<int>(rem / 3600),
            static_cast<int>(rem / 60 % 60),
            static_cast<int>(rem % 60)};
}

std::int64_t secondsOf(system_clock::time_point t) {
    return duration_cast<seconds>(t.time_since_epoch()).count();
}

// Offset of the host's local civil time from UTC at t, in seconds.
std::int64_t localOffset(system_clock::time_point t) {
    const std::time_t tt = system_clock::to_time_t(t);
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &tt);
#else
    localtime_r(&tt, &tm);
#endif
    const std::int64_t local =
        daysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                      static_cast<unsigned>(tm.tm_mday)) *
            86400 +
        tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return local - static_cast<std::int64_t>(tt);
}

// A packed BCD byte, or -1 when a digit is not decimal.
int fromBcd(std::uint8_t b) {
    const int hi = b >> 4, lo = b & 0x0F;
    return hi > 9 || lo > 9 ? -1 : hi * 10 + lo;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

constexpr int kMinHumidity = 20; // tenths of % r.H.
constexpr int kMaxHumidity = 80;
constexpr int kStartUpSeconds = 5;
constexpr int kHeatingSeconds = 300;
constexpr int kCoolingSeconds = 120;
constexpr std::int64_t kMaxCatchUpSeconds = 86400;

} // namespace

struct Cabinet::State {
    mutable std::mutex lock;
    CabinetOptions options;
    Clock clock;
    SplitMix64 rng;
    system_clock::time_point simulatedUntil; // whole seconds simulated so far

    CabinetPresence presence = CabinetPresence::Present;
    system_clock::time_point resetUntil;

    // Settings as written by "A"
    std::uint8_t regenHumidity = 50, reduction1Humidity = 35, reduction2Humidity = 20;
    std::uint16_t doorAlarmSeconds = 0, restartDelaySeconds = 0, extraTime1 = 0, extraTime2 = 0;
    bool returnAir = true;
    std::int32_t serial = 0;
    std::int64_t clockOffset = 0; // cabinet civil seconds minus host seconds

    // The world
    int humidityTop = 40, humidityBottom = 45; // tenths of % r.H.
    int temperatureTop = 0, temperatureBottom = 0;
    int plateUp = 20, plateDown = 20; // heating plate temperatures, °C
    bool door = false;
    bool doorManual = false;
    int doorAutoCloseIn = 0;
    int doorOpenSeconds = 0;
    std::uint8_t phase = Cabinet::StartUp;
    int phaseSeconds = 0;
    int dryingSeconds = 0; // since the last regeneration
    std::uint8_t forcedError = 0;

    // Counters
    std::uint16_t l1Ups = 0, netErrors = 0, intTimer = 0, okTimer = 0;
    int netzf = 500;
    std::deque<InputData> unsolicited;

    State(CabinetOptions o, Clock c)
        : options(std::move(o)), clock(std::move(c)), rng(options.seed) {
        if (!clock)
            clock = [] { return system_clock::now(); };
        const auto now = clock();
        simulatedUntil = now;
        doorAlarmSeconds = options.doorAlarmSeconds;
        restartDelaySeconds = options.restartDelaySeconds;
        returnAir = options.returnAirMonitoring;
        serial = options.serialNumber;
        clockOffset = localOffset(now);
        humidityTop = rng.between(30, 50);
        humidityBottom = humidityTop + rng.between(0, 8);
        temperatureTop = options.temperatureTenths;
        temperatureBottom = options.temperatureTenths - 5;
        plateUp = plateDown = std::max(0, options.temperatureTenths / 10);
    }

    bool wideOkTimer() const {
        return options.firmwareMajor * 1000 + options.firmwareMinor >= 1003;
    }

    void enterPhase(std::uint8_t p) {
        phase = p;
        phaseSeconds = 0;
    }

    void restart() {
        intTimer = 0;
        okTimer = 0;
        enterPhase(Cabinet::StartUp);
    }

    void openDoor(bool manual) {
        if (!door) {
            door = true;
            doorOpenSeconds = 0;
            okTimer = 0;
            if (phase != Cabinet::StartUp)
                enterPhase(Cabinet::DoorOpen);
        }
        doorManual = doorManual || manual;
    }

    void closeDoor() {
        if (!door)
            return;
        door = false;
        doorManual = false;
        doorOpenSeconds = 0;
        if (phase == Cabinet::DoorOpen)
            enterPhase(Cabinet::RestartWait);
    }

    bool doorAlarm() const { return door && doorOpenSeconds >= doorAlarmSeconds; }

    void drift(int& h, int toward, int step) {
        if (h < toward)
            h += rng.between(0, step);
        else if (h > toward)
            h -= rng.between(0, step);
        h += rng.between(-1, 1);
        h = std::clamp(h, kMinHumidity, kMaxHumidity);
    }

    // One second of the cabinet's life.
    void tick() {
        ++intTimer;
        ++phaseSeconds;
        netzf = std::clamp(netzf + rng.between(-1, 1), 498, 502);
        if (rng.oneIn(7200))
            ++netErrors;

        // The door
        if (door) {
            ++doorOpenSeconds;
            if (!doorManual && --doorAutoCloseIn <= 0)
                closeDoor();
        } else if (options.randomDoor && phase == Cabinet::Drying && rng.oneIn(900)) {
            openDoor(false);
            // mostly a short look inside, sometimes left open past the alarm time
            doorAutoCloseIn =
                rng.oneIn(8) ? doorAlarmSeconds + rng.between(10, 60) : rng.between(5, 90);
        }

        // The programme
        switch (phase) {
        case Cabinet::StartUp:
            if (phaseSeconds >= kStartUpSeconds)
                enterPhase(door ? Cabinet::DoorOpen : Cabinet::Drying);
            break;
        case Cabinet::Drying:
            ++dryingSeconds;
            if (okTimer < 0xFFFF)
                ++okTimer;
            if (dryingSeconds >= options.regenerationInterval.count() ||
                (humidityTop > regenHumidity && dryingSeconds >= 600)) {
                dryingSeconds = 0;
                enterPhase(Cabinet::Heating);
            }
            break;
        case Cabinet::DoorOpen:
            break;
        case Cabinet::RestartWait:
            if (phaseSeconds >= restartDelaySeconds) {
                ++l1Ups;
                enterPhase(Cabinet::Drying);
            }
            break;
        case Cabinet::Heating:
            if (phaseSeconds >= kHeatingSeconds)
                enterPhase(Cabinet::Cooling);
            break;
        case Cabinet::Cooling:
            if (phaseSeconds >= kCoolingSeconds) {
                ++l1Ups;
                enterPhase(door ? Cabinet::DoorOpen : Cabinet::Drying);
            }
            break;
        default:
            break;
        }

        // Humidity: rises while the door is open, falls while drying, creeps up otherwise.
        const int humidTarget = door ? kMaxHumidity : phase == Cabinet::Drying ? 25 : 45;
        const int step = door ? 3 : 1;
        drift(humidityTop, humidTarget, step);
        drift(humidityBottom, humidTarget + 4, step);

        // Temperatures at the sensors: ambient with noise, a little warmer while heating.
        const int ambient = options.temperatureTenths;
        const int warm = phase == Cabinet::Heating ? 15 : 0;
        temperatureTop =
            std::clamp(temperatureTop + rng.between(-1, 1), ambient - 5 + warm, ambient + 5 + warm);
        temperatureBottom =
            std::clamp(temperatureBottom + rng.between(-1, 1), ambient - 10, ambient);
        // Heating plates
        const int plateAmbient = std::max(0, ambient / 10);
        const int plateTarget = phase == Cabinet::Heating ? 120 : plateAmbient;
        const auto toward = [&](int& t, int target) {
            if (t < target)
                t += std::min(target - t, rng.between(0, 2));
            else if (t > target)
                t -= std::min(t - target, rng.between(0, 1));
        };
        toward(plateUp, plateTarget);
        toward(plateDown, plateTarget - (phase == Cabinet::Heating ? 15 : 0));
    }

    void advanceLocked() {
        const auto now = clock();
        if (presence == CabinetPresence::Resetting && now >= resetUntil) {
            presence = CabinetPresence::Present;
            restart();
        }
        std::int64_t due = secondsOf(now) - secondsOf(simulatedUntil);
        if (now < simulatedUntil || due <= 0)
            return;
        if (due > kMaxCatchUpSeconds) {
            simulatedUntil += seconds(due - kMaxCatchUpSeconds);
            due = kMaxCatchUpSeconds;
        }
        for (std::int64_t i = 0; i < due; ++i)
            tick();
        simulatedUntil += seconds(due);
    }

    std::uint8_t fehler() const {
        if (forcedError)
            return forcedError;
        return doorAlarm() ? options.doorAlarmError : 0;
    }

    StatusRecord statusRecord() const {
        StatusRecord s;
        const bool heating = phase == Cabinet::Heating;
        const bool regenerating = heating || phase == Cabinet::Cooling;
        int motor = 0;
        if (phase == Cabinet::Drying)
            motor = humidityTop < reduction2Humidity   ? 400
                    : humidityTop < reduction1Humidity ? 600
                                                       : 800;
        else if (regenerating)
            motor = heating ? 1000 : 500;
        s.aktoren = static_cast<std::uint8_t>((motor > 0 ? 0x01 : 0) | (heating ? 0x02 : 0) |
                                              (doorAlarm() ? 0x04 : 0));
        s.fehler = fehler();
        s.l1Ups = l1Ups;
        s.okTimer = okTimer;
        s.tet = static_cast<std::uint8_t>(std::min(doorOpenSeconds, 255));
        s.ventile = static_cast<std::uint8_t>((phase == Cabinet::Drying ? 0x01 : 0) |
                                              (regenerating ? 0x02 : 0));
        s.netzf = static_cast<std::uint16_t>(netzf);
        s.t3 = static_cast<std::uint16_t>(2400 + (netzf - 500) * 10);
        s.l1 = static_cast<std::uint16_t>(motor);
        s.t1 = static_cast<std::uint16_t>(std::min(phaseSeconds, 0xFFFF));
        s.netErrors = netErrors;
        s.t1_2 = wideOkTimer() ? okTimer : static_cast<std::uint16_t>(dryingSeconds & 0xFFFF);
        s.t2_1 = static_cast<std::uint16_t>(plateUp);
        s.t2_2 = static_cast<std::uint16_t>(plateDown);
        s.status = static_cast<std::uint8_t>((door ? 0x01 : 0) | (doorAlarm() ? 0x02 : 0) |
                                             (regenerating ? 0x04 : 0));
        s.programmphase = phase;
        s.prog = static_cast<std::uint8_t>((returnAir ? 0x01 : 0) | (regenerating ? 0x02 : 0));
        s.lIn = static_cast<std::uint8_t>(returnAir && motor > 0 ? 1 : 0);
        s.hytRetO = 0;
        s.humidityTop = static_cast<std::uint16_t>(humidityTop);
        s.temperatureTop = static_cast<std::int16_t>(temperatureTop);
        s.hytRetU = 0;
        s.humidityBottom = static_cast<std::uint16_t>(humidityBottom);
        s.temperatureBottom = static_cast<std::int16_t>(temperatureBottom);
        s.cabinetAddress = options.ipAddress;
        s.secondAddress = options.secondAddress;
        s.intTimer = intTimer;
        return s;
    }

    protocol::ConfigRecord configRecord() const {
        protocol::ConfigRecord c;
        c.regenHumidity = regenHumidity;
        c.reduction1Humidity = reduction1Humidity;
        c.reduction2Humidity = reduction2Humidity;
        c.doorAlarmTime = doorAlarmSeconds;
        c.restartDelay = restartDelaySeconds;
        c.extraTime1 = extraTime1;
        c.showReturnAir = (extraTime1 & 0x40) != 0;
        c.extraTime2 = extraTime2;
        c.serialNumber = serial;
        c.firmwareMinor = options.firmwareMinor;
        c.firmwareMajor = options.firmwareMajor;
        c.macAddress = options.mac;
        c.returnAirMonitoring = returnAir ? 1 : 2;
        return c;
    }

    protocol::ClockRecord clockRecord() const {
        const Civil t = civilFromSeconds(secondsOf(clock()) + clockOffset);
        protocol::ClockRecord c;
        c.readStatus = 0;
        c.hours = static_cast<std::uint8_t>(t.hour);
        c.minutes = static_cast<std::uint8_t>(t.minute);
        c.seconds = static_cast<std::uint8_t>(t.second);
        c.day = static_cast<std::uint8_t>(t.day);
        c.month = static_cast<std::uint8_t>(t.month);
        c.year = static_cast<std::uint8_t>(std::clamp(t.year - 2000, 0, 255));
        return c;
    }

    void writeSettings(std::span<const std::uint8_t> f) {
        regenHumidity = f[1];
        reduction1Humidity = f[2];
        reduction2Humidity = f[3];
        doorAlarmSeconds = static_cast<std::uint16_t>(f[4] | f[5] << 8);
        restartDelaySeconds = static_cast<std::uint16_t>(f[6] | f[7] << 8);
        extraTime1 = static_cast<std::uint16_t>(f[8] | f[9] << 8);
        extraTime2 = static_cast<std::uint16_t>(f[10] | f[11] << 8);
        returnAir = f[13] == 0x01;
    }

    void setClock(std::span<const std::uint8_t> f) {
        const int sec = fromBcd(f[3]), min = fromBcd(f[4]), hour = fromBcd(f[5]),
                  day = fromBcd(f[6]), month = fromBcd(f[8]), year = fromBcd(f[9]);
        if (sec < 0 || sec > 59 || min < 0 || min > 59 || hour < 0 || hour > 23 || month < 1 ||
            month > 12 || year < 0 || day < 1 || day > daysInMonth(2000 + year, month))
            return; // the controller's clock chip refuses an impossible time
        const std::int64_t civil =
            daysFromCivil(2000 + year, static_cast<unsigned>(month), static_cast<unsigned>(day)) *
                86400 +
            hour * 3600 + min * 60 + sec;
        clockOffset = civil - secondsOf(clock());
    }

    std::vector<InputData> handle(std::span<const std::uint8_t> report) {
        advanceLocked();
        if (presence != CabinetPresence::Present || report.size() < 2 || report[0] != 0)
            return {};
        const auto f = report.subspan(1);
        namespace cmd = protocol::command;
        switch (f[0]) {
        case cmd::kStatus:
            return {encodeStatus(statusRecord(), wideOkTimer())};
        case cmd::kConfig:
            return {encodeConfig(configRecord())};
        case cmd::kWebImageVersion:
            return {encodeWebImageVersion(options.webImageText)};
        case cmd::kClockRead:
            return {encodeClock(clockRecord())};
        case cmd::kSettingsWrite:
            if (f.size() >= 14)
                writeSettings(f);
            return {};
        case cmd::kClockSet:
            if (f.size() >= 18)
                setClock(f);
            return {};
        case cmd::kSerialNumberWrite:
            if (f.size() >= 5)
                serial = static_cast<std::int32_t>(static_cast<std::uint32_t>(f[1]) |
                                                   static_cast<std::uint32_t>(f[2]) << 8 |
                                                   static_cast<std::uint32_t>(f[3]) << 16 |
                                                   static_cast<std::uint32_t>(f[4]) << 24);
            return {};
        case cmd::kWdtTest: // the watchdog bites: the controller restarts
        case cmd::kReset:
            presence = CabinetPresence::Resetting;
            resetUntil = clock() + options.resetDuration;
            return {};
        case cmd::kBootloader:
            presence = CabinetPresence::Bootloader;
            return {};
        case cmd::kDispLdr: // shows the light sensor on the cabinet's own display
        default:
            return {};
        }
    }
};

Cabinet::Cabinet(CabinetOptions options, Clock clock)
    : state_(std::make_shared<State>(std::move(options), std::move(clock))) {}

const CabinetOptions& Cabinet::options() const {
    return state_->options;
}

std::vector<InputData> Cabinet::handleOutputReport(std::span<const std::uint8_t> report) {
    std::lock_guard g(state_->lock);
    return state_->handle(report);
}

void Cabinet::advance() {
    std::lock_guard g(state_->lock);
    state_->advanceLocked();
}

CabinetPresence Cabinet::presence() const {
    std::lock_guard g(state_->lock);
    (*state_).advanceLocked();
    return state_->presence;
}

void Cabinet::leaveBootloader() {
    std::lock_guard g(state_->lock);
    if (state_->presence == CabinetPresence::Bootloader) {
        state_->presence = CabinetPresence::Present;
        state_->restart();
    }
}

std::vector<InputData> Cabinet::takeUnsolicited() {
    std::lock_guard g(state_->lock);
    std::vector<InputData> out(state_->unsolicited.begin(), state_->unsolicited.end());
    state_->unsolicited.clear();
    return out;
}

void Cabinet::raiseError(std::uint8_t errorNumber) {
    std::lock_guard g(state_->lock);
    state_->forcedError = errorNumber;
}

void Cabinet::requestI2cScan(std::vector<std::uint8_t> addresses) {
    std::lock_guard g(state_->lock);
    state_->unsolicited.push_back(encodeI2cScan(addresses));
}

void Cabinet::setDoorOpen(bool open) {
    std::lock_guard g(state_->lock);
    state_->advanceLocked();
    if (open)
        state_->openDoor(true);
    else
        state_->closeDoor();
}

#define HQ_SIM_GETTER(type, name, expr)                                                            \
    type Cabinet::name() const {                                                                   \
        std::lock_guard g(state_->lock);                                                           \
        (*state_).advanceLocked();                                                                 \
        return static_cast<type>(state_->expr);                                                    \
    }

HQ_SIM_GETTER(std::uint16_t, humidityTop, humidityTop)
HQ_SIM_GETTER(std::uint16_t, humidityBottom, humidityBottom)
HQ_SIM_GETTER(bool, doorOpen, door)
HQ_SIM_GETTER(std::uint8_t, errorNumber, fehler())
HQ_SIM_GETTER(std::uint16_t, doorAlarmSeconds, doorAlarmSeconds)
HQ_SIM_GETTER(std::uint16_t, restartDelaySeconds, restartDelaySeconds)
HQ_SIM_GETTER(bool, returnAirMonitoring, returnAir)
HQ_SIM_GETTER(std::int32_t, serialNumber, serial)
HQ_SIM_GETTER(std::uint8_t, programmphase, phase)
HQ_SIM_GETTER(std::int16_t, temperatureTop, temperatureTop)

#undef HQ_SIM_GETTER

system_clock::time_point Cabinet::cabinetTime() const {
    std::lock_guard g(state_->lock);
    return state_->clock() + seconds(state_->clockOffset);
}

} // namespace hq::sim
