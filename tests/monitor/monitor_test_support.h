// What the monitor window tests share: the simulated cabinet as a function on the simulated HID
// bus (recording every output report), a service window that records what it is fed, and a
// window fixture with an isolated preference store.
#pragma once

#include "hid/hid_controller.h"
#include "monitor/panel_status_bar.h"
#include "monitor/schrank_form.h"
#include "platform/hid_simulated.h"
#include "sim/cabinet.h"
#include "widgets/led_display.h"
#include "widgets/spin_edit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>
#include <mutex>
#include <vector>

namespace hq::test {

// A control of a window, found by its object name (the design's control names); the test run
// stops at once when the window has no such control of that type.
template <class T> T* control(const QWidget& window, const char* name) {
    T* found = window.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr)
        qFatal("no control %s", name);
    return found;
}

class CabinetFunction : public platform::SimulatedHidFunction {
public:
    explicit CabinetFunction(sim::CabinetOptions options = {}) : cabinet_(std::move(options)) {}

    platform::HidAttributes attributes() const override {
        platform::HidAttributes a;
        a.vendorId = cabinet_.options().vendorId;
        a.productId = cabinet_.options().productId;
        a.versionNumber = cabinet_.options().versionNumber;
        return a;
    }
    platform::HidCaps caps() const override {
        platform::HidCaps c;
        c.inputReportByteLength = 65;
        c.outputReportByteLength = 65;
        return c;
    }
    std::optional<std::u16string> productString() const override {
        return toU16(cabinet_.options().productString);
    }
    std::optional<std::u16string> serialString() const override {
        return toU16(cabinet_.options().serialString);
    }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override {
        std::lock_guard lock(mutex_);
        written_.emplace_back(report.begin(), report.end());
        std::vector<std::vector<std::uint8_t>> answers;
        if (!answer_)
            return answers;
        for (const sim::InputData& data : cabinet_.handleOutputReport(report)) {
            std::vector<std::uint8_t> r{0x00};
            r.insert(r.end(), data.begin(), data.end());
            answers.push_back(std::move(r));
        }
        return answers;
    }

    std::vector<std::vector<std::uint8_t>> written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }
    // Command codes (byte 1 of each report written), in order.
    std::vector<std::uint8_t> codes() const {
        std::lock_guard lock(mutex_);
        std::vector<std::uint8_t> c;
        for (const auto& r : written_)
            c.push_back(r.size() > 1 ? r[1] : 0);
        return c;
    }
    void clearWritten() {
        std::lock_guard lock(mutex_);
        written_.clear();
    }
    void setAnswering(bool on) {
        std::lock_guard lock(mutex_);
        answer_ = on;
    }
    sim::Cabinet& cabinet() { return cabinet_; }

private:
    static std::u16string toU16(const std::string& s) { return {s.begin(), s.end()}; }

    mutable std::mutex mutex_;
    sim::Cabinet cabinet_;
    std::vector<std::vector<std::uint8_t>> written_;
    bool answer_ = true;
};

class RecordingServiceWindow : public monitor::ServiceWindow {
public:
    void showServiceWindow() override { ++shown; }
    void PlotStatusRecord(const protocol::StatusRecord& record,
                          std::chrono::system_clock::time_point) override {
        plotted.push_back(record);
    }
    void setSerialNumber(std::int32_t serialNumber) override { serial = serialNumber; }
    int shown = 0;
    std::vector<protocol::StatusRecord> plotted;
    std::int32_t serial = -1;
};

// The organisation under which the tests keep the language preference. Windows keeps it in the
// registry, which QSettings::setPath does not move: a name of the test process's own keeps tests
// that run at once apart (a fixture empties it when it ends).
inline QString preferenceOrganisation() {
    return QStringLiteral("KOV-test-%1").arg(QCoreApplication::applicationPid());
}

// One window on its own simulated bus, with its preference kept in a temporary folder.
struct WindowFixture {
    // A function given as pluggedAtStart is on the bus before the controller is made, as a
    // cabinet plugged in before the program starts.
    explicit WindowFixture(std::function<void(monitor::SchrankFormOptions&)> adjust = {},
                           std::shared_ptr<platform::SimulatedHidFunction> pluggedAtStart = {}) {
        if (pluggedAtStart)
            bus.plug(std::move(pluggedAtStart));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
        monitor::SchrankFormOptions options;
        options.errors = [this](const QString& text) { errors.push_back(text); };
        options.preference =
            monitor::LanguagePreference(preferenceOrganisation(), QStringLiteral("HQ3746DC"));
        options.applicationDir = appDir.path();
        // The test's own data folder (QStandardPaths' test mode), not the monitor's.
        options.dataDirs = {QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)};
        options.openUrl = [this](const QUrl& url) {
            openedUrls.push_back(url);
            return true;
        };
        options.startProgram = [this](const QString& program) {
            startedPrograms.push_back(program);
            return true;
        };
        if (adjust)
            adjust(options);
        controller = std::make_unique<HidDeviceController>(bus);
        form = std::make_unique<monitor::SchrankForm>(*controller, std::move(options));
        form->setServiceWindow(&service);
    }
    ~WindowFixture() {
        form.reset();
        controller.reset();
        QSettings(preferenceOrganisation(), QStringLiteral("HQ3746DC")).clear();
    }

    QTemporaryDir settingsDir;
    QTemporaryDir appDir;
    platform::SimulatedHidPlatform bus;
    std::unique_ptr<HidDeviceController> controller;
    std::unique_ptr<monitor::SchrankForm> form;
    RecordingServiceWindow service;
    std::vector<QString> errors;
    std::vector<QUrl> openedUrls;
    std::vector<QString> startedPrograms;
};

} // namespace hq::test
