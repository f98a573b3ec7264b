// The monitor window in process (offscreen) on the Linux backend: once the cabinet has arrived,
// the humidity readouts, the identity labels and the message pane show what it reports.
#include "kernel_check.h"
#include "kernel_checks.h"

#include "hid/hid_controller.h"
#include "monitor/schrank_form.h"
#include "platform/hid_native.h"
#include "widgets/led_display.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>

namespace hq::kerneltest {

namespace {

class RecordingService : public monitor::ServiceWindow {
public:
    void showServiceWindow() override {}
    void PlotStatusRecord(const protocol::StatusRecord&,
                          std::chrono::system_clock::time_point) override {
        ++plotted;
    }
    void setSerialNumber(std::int32_t value) override { serial = value; }
    int plotted = 0;
    std::int32_t serial = 0;
};

QString labelText(const QWidget& form, const char* name) {
    const auto* label = form.findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("(no %1)").arg(QString::fromLatin1(name));
}

double ledValue(const QWidget& form, const char* name) {
    const auto* led = form.findChild<LedDisplay*>(QString::fromLatin1(name));
    return led ? led->value() : -1;
}

QString paneText(const QWidget& form) {
    const auto* pane = form.findChild<QPlainTextEdit*>(QStringLiteral("txtMessage"));
    return pane ? pane->toPlainText() : QString();
}

} // namespace

int runMonitorChecks(int argc, char** argv) {
    QApplication app(argc, argv);
    Checker check;
    QTemporaryDir home;
    auto platform = platform::createNativeHidPlatform();
    HidDeviceController controller(*platform);
    monitor::SchrankFormOptions options;
    options.errors = [&](const QString& text) {
        check(false, "no error shown by the window", text.toStdString());
    };
    options.preference =
        monitor::LanguagePreference(QStringLiteral("KOV-kernel-test"), QStringLiteral("monitor"));
    options.applicationDir = home.path();
    monitor::SchrankForm form(controller, std::move(options));
    RecordingService service;
    form.setServiceWindow(&service);
    form.show();
    QElapsedTimer shown;
    shown.start();

    // The first scan runs at once and finds the cabinet; the form polls it every second.
    const bool shownAll = waitFor(
        [&] {
            return ledValue(form, "LEDDisplay2") == 45.3 && ledValue(form, "LEDDisplay4") == 38.7 &&
                   labelText(form, "Label25") == "N#12345678" &&
                   labelText(form, "Label35") == "V.:1.003" &&
                   labelText(form, "Label20") == "MAC:00:04:A3:01:02:03" &&
                   labelText(form, "Label15") == "MPFS: 1.003" &&
                   labelText(form, "IP_Label") == "192.168.1.50" &&
                   paneText(form).contains("FEHLER: 0");
        },
        10000);
    const qint64 ms = shown.elapsed();
    check(shownAll && ms <= 3000,
          "monitor: readouts, identity labels and pane within 3 s of arrival",
          std::to_string(ms) + " ms; LED " + std::to_string(ledValue(form, "LEDDisplay2")) + "/" +
              std::to_string(ledValue(form, "LEDDisplay4")) + ", " +
              labelText(form, "Label25").toStdString() + ", " +
              labelText(form, "Label35").toStdString() + ", " +
              labelText(form, "Label20").toStdString() + ", " +
              labelText(form, "Label15").toStdString() + ", " +
              labelText(form, "IP_Label").toStdString());
    check(service.plotted >= 1 && service.serial == 12345678, "monitor: the service window is fed",
          std::to_string(service.plotted) + " records");
    form.close();
    return check.failures() == 0 ? 0 : 1;
}

} // namespace hq::kerneltest
