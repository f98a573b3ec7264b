// The monitor window: follows the cabinet's USB connection, polls it once a second, shows what
// it reports (humidity readouts, message pane, settings, identity, clock) and sends the
// commands of the "USB" tab. Its layout is schrank_form.ui.
//
// The class is split over three files: schrank_form.cpp (start-up, shutdown, connection,
// polling, status bar), schrank_replies.cpp (DeviceData, DecodeReply and the display steps)
// and schrank_commands.cpp (SendCommand and the buttons).
#pragma once

#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "monitor/error_sink.h"
#include "monitor/language_preference.h"
#include "monitor/schrank_lan.h"
#include "protocol/command_frame.h"
#include "protocol/decoder.h"

class QPainter;
class QWindow;
class QUrl;

namespace Ui {
class SchrankForm;
}

namespace hq {
class HidDevice;
class HidDeviceController;
} // namespace hq

namespace hq::monitor {

class SchrankLanguage;

// What the monitor window needs of the service window.
class ServiceWindow {
public:
    virtual ~ServiceWindow() = default;
    // Shows the window (non-modal) and brings it to the front.
    virtual void showServiceWindow() = 0;
    virtual void PlotStatusRecord(const protocol::StatusRecord& record,
                                  std::chrono::system_clock::time_point time) = 0;
    // The cabinet's serial number, which the service window shows in its SpinEdit1 (serial div
    // 100) and SpinEdit2 (serial mod 100).
    virtual void setSerialNumber(std::int32_t serialNumber) = 0;
};

class SchrankForm;

struct SchrankFormOptions {
    // Where errors go (the application's error display).
    ErrorSink errors;
    LanguagePreference preference;
    // The folder of the executable; the bootloader program and the web image are looked up
    // beside it, then in dataDirs (empty: the monitor's data folders, cabinet/files.h).
    QString applicationDir;
    QStringList dataDirs;
    // Opens a web address in the desktop's browser; default QDesktopServices::openUrl.
    std::function<bool(const QUrl&)> openUrl;
    // Starts a program without arguments and without waiting; default QProcess::startDetached.
    std::function<bool(const QString& program)> startProgram;
    // Fills the language box at start-up (the language catalogue); none leaves it empty.
    std::function<void(SchrankForm& form)> loadLanguageList;
    // The local clock, for the clock display; default the system clock.
    std::function<std::chrono::system_clock::time_point()> now;
    // The LAN tab: where discovery and upload go (loopback for tests and the simulated cabinet).
    LanOptions lan;
};

class SchrankForm : public QWidget {
    Q_OBJECT
public:
    // Runs FormCreate. The controller must outlive the window; its arrival and removal events
    // are bound to Hid1Arrival and Hid1Removal here.
    SchrankForm(HidDeviceController& controller, SchrankFormOptions options,
                QWidget* parent = nullptr);
    ~SchrankForm() override;

    void setServiceWindow(ServiceWindow* window) { serviceWindow_ = window; }

    // Commands. All pass through SendCommand, the only writer to the cabinet; all are dropped
    // while no device is held.
    void SendCommand(const protocol::CommandFrame& frame);
    void SendSerialNumber(std::int32_t serial);
    void SendDispLdr();
    void SendWdtTest();

    // The report handler installed on the claimed cabinet.
    void DeviceData(HidDevice* device, std::uint8_t reportId, const std::uint8_t* data,
                    std::uint16_t size);
    void DecodeReply(std::span<const std::uint8_t> report);

    // Event handlers (public so that tests and later glue can drive them).
    void Hid1Arrival(HidDevice* device);
    void Hid1Removal(HidDevice* device);
    void Timer1Timer();
    void SprachwahlChange();
    void setzenClick();
    void auslesenClick();
    void Button1Click();
    void Button4Click();
    void Button23Click();
    void Button27Click();
    void resetbtn1Click();
    void softupdatebtnClick();
    void IP_LabelClick();
    void Image1Click();

    // State (read-only for tests).
    bool connected() const { return Connected; }
    bool pollArmed() const { return PollArmed; }
    HidDevice* currentDevice() const { return CurrentDevice; }
    QString productName() const { return ProductName; }
    int languageIndex() const { return LanguageIndex; }
    protocol::FirmwareVersion firmwareVersion() const { return decoder_.firmwareVersion(); }
    QTimer& timer1() { return Timer1; }
    // The window's controls, for tests and for handlers added later.
    // The serial-number label's text as shown ("N#12345678"); the help-desk mail names it.
    QString serialNumberCaption() const;
    // The LAN tab and the language box.
    SchrankLan& lan() { return *lan_; }
    SchrankLanguage& language() { return *language_; }

    // The program file's version as "a.b.c.d".
    static QString versionText();
    // Where the bootloader program Bootloader/PIC32UBL(.exe) is taken from: beside the executable,
    // else in the user's data folder (as the web image); when neither holds it, the path beside
    // the executable.
    QString bootloaderPath() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormCloseQuery();
    void FormClose();
    void LoadLanguageList();
    void setupStatusBar();
    void setupControls();
    void placeStatusBar();

    // What drawing panel 0 of the status bar does besides drawing: arms the next poll, switches
    // the poll timer and sizes the panel. Runs when panel 0 becomes visible anew (arrival or
    // removal, the "USB" tab shown, the window exposed), never from inside a paint event.
    void statbarUsbPanelShown();
    bool statusBarShown() const;
    // Draws panel 0 from the current state; changes nothing.
    void StatbarUSBDrawPanel(QPainter& painter, int panel, const QRect& rect);
    void releaseCurrentDevice();
    // Destroys the device if this window claimed it; true if it did.
    bool destroyIfOwned(HidDevice* device);
    void writeAccessHint();

    // Display steps of DecodeReply.
    void applyDecodeResult(const protocol::DecodeResult& result);
    void showStatus(const protocol::StatusRecord& record,
                    std::chrono::system_clock::time_point time);
    void showSettings(const protocol::ConfigRecord& record);
    void showWebImageVersion(const protocol::WebImageVersion& version);
    void showClock(const protocol::ClockRecord& record);

    void clearMessages();
    void addMessage(const QString& line);
    void guarded(const std::function<void()>& handler);

    std::unique_ptr<Ui::SchrankForm> ui_;
    HidDeviceController& Hid1;
    SchrankFormOptions options_;
    ServiceWindow* serviceWindow_ = nullptr;
    protocol::ReplyDecoder decoder_;
    QTimer Timer1;
    QPixmap ImageListe[2];

    bool Connected = false;
    HidDevice* CurrentDevice = nullptr;
    // Devices this window claimed and so owns (normally only the current one).
    std::vector<std::unique_ptr<HidDevice>> claimedDevices_;
    bool PollArmed = false;
    QString ProductName;
    int LanguageIndex = 0;
    // The native window whose exposure is followed (see eventFilter).
    QPointer<QWindow> watchedWindow_;
    std::unique_ptr<SchrankLanguage> language_;
    std::unique_ptr<SchrankLan> lan_;
};

} // namespace hq::monitor
