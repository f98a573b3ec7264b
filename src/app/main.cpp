// The program entry: builds the platform, the HID device controller and the windows, wires
// them together and runs the event loop until the monitor window closes.
#include "app/app_options.h"
#include "app/error_display.h"
#include "app/main_window_end.h"
#include "app/service_glue.h"
#include "hid/hid_controller.h"
#include "history/archive_location.h"
#include "history/history_recorder.h"
#include "history/history_viewer.h"
#include "history/recorded_history.h"
#include "monitor/schrank_form.h"
#include "platform/hid_native.h"
#include "platform/hid_simulated.h"
#include "service/chart_mail.h"
#include "service/chart_viewer.h"
#include "service/intern_form.h"
#include "sim/cabinet.h"
#include "sim/cabinet_hid_device.h"
#include "sim/net_discovery_responder.h"
#include "sim/net_upload_server.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QProcessEnvironment>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

const QString kApplicationTitle = QStringLiteral("HQ3746 Monitor");

// The one place where the real HID backend is chosen: the operating system's own (hidraw and
// udev on Linux, hid.dll and setupapi.dll on Windows).
std::unique_ptr<hq::platform::HidPlatform> createRealPlatform() {
    std::unique_ptr<hq::platform::HidPlatform> native = hq::platform::createNativeHidPlatform();
    if (!native->available())
        std::fprintf(stderr, "hq3746-monitor: this system's HID support is not available; "
                             "no cabinet can be found over USB\n");
    return native;
}

class FirstPaintReporter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            const auto* window = qobject_cast<const QWidget*>(watched);
            std::fprintf(stderr,
                         "hq3746-monitor: first paint at %lld ms since the epoch (window "
                         "\"%s\")\n",
                         static_cast<long long>(QDateTime::currentMSecsSinceEpoch()),
                         window ? qUtf8Printable(window->windowTitle()) : "");
            watched->removeEventFilter(this);
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    // The command line is read before the application object exists, so that --help and
    // errors need no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const hq::app::ParsedOptions parsed = hq::app::parseAppOptions(arguments);
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "hq3746-monitor: %s\n\n%s", qPrintable(parsed.error),
                     qPrintable(parsed.helpText));
        return 2;
    }
    if (parsed.options.help) {
        std::fputs(qPrintable(parsed.helpText), stdout);
        return 0;
    }

    hq::app::GuardedApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("hq3746-monitor"));
    QCoreApplication::setOrganizationName(QStringLiteral("KOV"));

    hq::app::ErrorDisplay errors(kApplicationTitle);
    app.setErrorDisplay(&errors);

    // A chart file that a cabinet's user sent: only the read-only chart window, no cabinet.
    if (!parsed.options.openChart.isEmpty()) {
        QString error;
        hq::service::ChartViewer* viewer =
            hq::service::openChartWindow(parsed.options.openChart, nullptr, &error);
        if (viewer == nullptr) {
            errors.show(error);
            return 1;
        }
        if (parsed.options.quitAfterMs)
            QTimer::singleShot(*parsed.options.quitAfterMs, viewer, [viewer] { viewer->close(); });
        const int result = app.exec();
        app.setErrorDisplay(nullptr);
        return result;
    }

    // A cabinet's stored history: only the history viewer, no cabinet.
    if (!parsed.options.history.isEmpty()) {
        QString error;
        hq::history::HistoryViewer* viewer = hq::history::openHistoryWindow(
            hq::history::cabinetDirectory(hq::history::defaultHistoryRoot(),
                                          parsed.options.history.toStdString()),
            nullptr, &error);
        if (viewer == nullptr) {
            errors.show(error);
            return 1;
        }
        FirstPaintReporter reporter;
        if (qEnvironmentVariableIsSet("HQ_REPORT_STARTUP"))
            viewer->installEventFilter(&reporter);
        if (parsed.options.quitAfterMs)
            QTimer::singleShot(*parsed.options.quitAfterMs, viewer, [viewer] { viewer->close(); });
        const int result = app.exec();
        app.setErrorDisplay(nullptr);
        return result;
    }

    // The HID platform: the simulated bus with a simulated cabinet plugged in, or the real one.
    std::unique_ptr<hq::platform::HidPlatform> platform;
    std::unique_ptr<hq::sim::Cabinet> cabinet;
    std::unique_ptr<hq::sim::CabinetHidDevice> cabinetDevice;
    QTimer cabinetPump;
    // The simulated cabinet on the network: its discovery responder and web server, on loopback.
    std::unique_ptr<hq::sim::DiscoveryResponder> netResponder;
    std::unique_ptr<hq::sim::UploadServer> webServer;
    if (parsed.options.simulate) {
        netResponder = std::make_unique<hq::sim::DiscoveryResponder>();
        webServer = std::make_unique<hq::sim::UploadServer>();
        if (!netResponder->listen(QHostAddress::LocalHost, 0) ||
            !webServer->listen(QHostAddress::LocalHost, 0))
            std::fprintf(stderr, "hq3746-monitor: the simulated cabinet's network ports could "
                                 "not be opened on 127.0.0.1\n");
        auto bus = std::make_unique<hq::platform::SimulatedHidPlatform>();
        cabinet = std::make_unique<hq::sim::Cabinet>();
        cabinetDevice = std::make_unique<hq::sim::CabinetHidDevice>(*bus, *cabinet);
        cabinetDevice->plug();
        // Brings the cabinet back after a reset and lets it send what it sends on its own.
        QObject::connect(&cabinetPump, &QTimer::timeout, [&] { cabinetDevice->pump(); });
        cabinetPump.start(50);
        platform = std::move(bus);
    } else {
        platform = createRealPlatform();
    }

    // The controller posts itself its first scan, which runs once the event loop is running.
    hq::HidDeviceController controller(*platform);

    hq::monitor::SchrankFormOptions formOptions;
    formOptions.errors = [&errors](const QString& text) { errors.show(text); };
    formOptions.applicationDir = QCoreApplication::applicationDirPath();
    if (netResponder) {
        formOptions.lan.discoveryTarget = QHostAddress(QHostAddress::LocalHost);
        formOptions.lan.discoveryPort = netResponder->port();
        formOptions.lan.uploadPort = webServer->port();
    }
    hq::monitor::SchrankForm form(controller, std::move(formOptions));

    // Every status record of the claimed cabinet goes into its stored history. The writer thread
    // reports what the user must know (a second program writing the same cabinet) here, on the
    // user-interface thread; repairs of files go to standard error.
    QObject historyNotices;
    hq::history::RecorderOptions historyOptions;
    historyOptions.root = hq::history::defaultHistoryRoot();
    historyOptions.notice = [&historyNotices, &errors](const std::string& text) {
        std::fprintf(stderr, "hq3746-monitor: history: %s\n", text.c_str());
        if (text.find("is already being written by") != std::string::npos)
            QMetaObject::invokeMethod(
                &historyNotices, [&errors, text] { errors.show(QString::fromStdString(text)); },
                Qt::QueuedConnection);
    };
    auto recorder = std::make_unique<hq::history::HistoryRecorder>(historyOptions);

    // The service window exists, hidden, before the first reply can be decoded.
    hq::app::ServiceGlue glue;
    const std::unique_ptr<hq::service::MailTransport> mail =
        hq::service::createSystemMailTransport();
    hq::service::InternForm intern(
        glue, *mail, hq::service::helpdeskAddress(QProcessEnvironment::systemEnvironment()));
    glue.attach(&form, &intern, recorder.get());
    form.setServiceWindow(&glue);
    // "Verlauf": the stored history of the cabinet being recorded. The click waits briefly (at
    // most kNewestRecordsWait) for the writer thread to put the newest records into the journal,
    // never for a block being synced to the disk.
    hq::history::connectHistoryButton(intern, *recorder, historyOptions.root,
                                      [&errors](const QString& text) { errors.show(text); });

    // The program ends with the monitor window: the service window and chart viewers go too.
    hq::app::endWithMainWindow(form);
    form.show();

    // For start-up measurements: the wall-clock time of the window's first paint.
    FirstPaintReporter reporter;
    if (qEnvironmentVariableIsSet("HQ_REPORT_STARTUP"))
        form.installEventFilter(&reporter);
    if (parsed.options.quitAfterMs)
        QTimer::singleShot(*parsed.options.quitAfterMs, &form, [&] { form.close(); });

    const int result = app.exec();
    recorder.reset(); // the open block sealed before the windows go
    app.setErrorDisplay(nullptr);
    // For checks from outside the process (the installed program under Wine): did it poll?
    if (qEnvironmentVariableIsSet("HQ_REPORT_RECORDS"))
        std::fprintf(stderr, "hq3746-monitor: %d status records received\n", glue.statusRecords());
    return result;
}
