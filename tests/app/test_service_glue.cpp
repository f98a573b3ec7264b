// The monitor window and the service window joined as the program joins them, against the
// simulated cabinet: the picture opens the one service window, status records reach its chart,
// the serial number reaches its spin edits, and its commands reach the cabinet; closing the
// monitor window ends the program with every other window.
#include "../monitor/monitor_test_support.h"
#include "app/main_window_end.h"
#include "app/service_glue.h"
#include "hid/hid_controller.h"
#include "platform/hid_simulated.h"
#include "service/chart_viewer.h"
#include "service/measurement_chart.h"
#include "sim/cabinet.h"
#include "sim/cabinet_hid_device.h"

#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace hq;

namespace {

using hq::test::control;

class NoMail : public service::MailTransport {
public:
    service::MailSendResult send(const platform::MailMessage&) override { return {}; }
};

// Records the command code of every output report on the way to the cabinet.
class RecordingCabinet : public platform::SimulatedHidFunction {
public:
    platform::HidAttributes attributes() const override {
        platform::HidAttributes a;
        a.vendorId = 0x04D8;
        a.productId = 0x003F;
        return a;
    }
    platform::HidCaps caps() const override {
        platform::HidCaps c;
        c.inputReportByteLength = 65;
        c.outputReportByteLength = 65;
        return c;
    }
    std::optional<std::u16string> productString() const override { return u"HQ3746"; }
    std::optional<std::u16string> serialString() const override { return u"HQ0012345678"; }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override {
        std::vector<std::uint8_t> frame(report.begin() + 1, report.begin() + 6);
        {
            std::lock_guard lock(mutex);
            frames.push_back(frame);
        }
        std::vector<std::vector<std::uint8_t>> answers;
        for (const sim::InputData& d : cabinet.handleOutputReport(report)) {
            std::vector<std::uint8_t> r{0};
            r.insert(r.end(), d.begin(), d.end());
            answers.push_back(std::move(r));
        }
        return answers;
    }
    std::vector<std::vector<std::uint8_t>> taken() {
        std::lock_guard lock(mutex);
        return std::exchange(frames, {});
    }
    sim::Cabinet cabinet;
    std::mutex mutex;
    std::vector<std::vector<std::uint8_t>> frames;
};

// Both windows joined as main() joins them, the cabinet plugged in, the preference kept in a
// temporary folder.
struct JoinedWindows {
    JoinedWindows() {
        glue.attach(&form, &intern);
        form.setServiceWindow(&glue);
    }
    static monitor::SchrankFormOptions options() {
        monitor::SchrankFormOptions o;
        o.preference =
            monitor::LanguagePreference(test::preferenceOrganisation(), QStringLiteral("HQ3746DC"));
        return o;
    }

    // In this order: the preference store and the cabinet are in place before the window starts.
    QTemporaryDir settings;
    bool settingsSet =
        (QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path()), true);
    platform::SimulatedHidPlatform bus;
    std::shared_ptr<RecordingCabinet> cabinet = std::make_shared<RecordingCabinet>();
    bool plugged = (bus.plug(cabinet), true);
    HidDeviceController controller{bus};
    monitor::SchrankForm form{controller, options()};
    app::ServiceGlue glue;
    NoMail mail;
    service::InternForm intern{glue, mail, QStringLiteral("help@example.invalid")};
};

} // namespace

class TestServiceGlue : public QObject {
    Q_OBJECT
private slots:
    void monitorAndServiceWindowTogether() {
        JoinedWindows w;
        auto& form = w.form;
        auto& intern = w.intern;
        auto& glue = w.glue;
        auto& cabinet = w.cabinet;
        form.show();
        QVERIFY(!intern.isVisible());

        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), 5000);
        form.timer1().stop();
        form.Timer1Timer(); // "@", then "u"
        QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(form, "Label25")->text(),
                                  QStringLiteral("N#12345678"), 5000);
        QCOMPARE(intern.serialNumberToSend(), 12345678);
        QCOMPARE(glue.serialNumberCaption(), QStringLiteral("N#12345678"));

        const std::size_t before = intern.chart()->store().size();
        form.Timer1Timer(); // "v"
        form.Timer1Timer(); // "v"
        QTRY_COMPARE_WITH_TIMEOUT(intern.chart()->store().size(), before + 2, 5000);

        // The picture shows the one service window, also when clicked twice.
        QTest::mouseClick(control<QLabel>(form, "Image1"), Qt::LeftButton);
        QVERIFY(intern.isVisible());
        intern.hide();
        QTest::mouseClick(control<QLabel>(form, "Image1"), Qt::LeftButton);
        QVERIFY(intern.isVisible());
        QCOMPARE(QApplication::topLevelWidgets().count(&intern), 1);

        // The service window's commands reach the cabinet through the monitor window.
        cabinet->taken();
        intern.Button15Click(); // "N Senden"
        intern.Button9Click();  // "Disp LDR"
        intern.Button8Click();  // "WDT Testen"
        const auto frames = cabinet->taken();
        QCOMPARE(frames.size(), std::size_t(3));
        QCOMPARE(frames[0], (std::vector<std::uint8_t>{0x78, 0x4E, 0x61, 0xBC, 0x00}));
        QCOMPARE(frames[1][0], std::uint8_t(0x77));
        QCOMPARE(frames[2][0], std::uint8_t(0xFD));
        form.close();
    }

    void closingTheMonitorWindowEndsTheProgram() {
        // The user closes the monitor window while the service window and a chart viewer are
        // open: they close too, the cabinet is released and the event loop ends.
        JoinedWindows w;
        auto& form = w.form;
        auto& intern = w.intern;
        app::endWithMainWindow(form);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_VERIFY_WITH_TIMEOUT(form.connected() && form.currentDevice() != nullptr, 5000);
        QTest::mouseClick(control<QLabel>(form, "Image1"), Qt::LeftButton);
        QVERIFY(intern.isVisible());
        QPointer<service::ChartViewer> viewer = new service::ChartViewer;
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        viewer->show();
        QVERIFY(QTest::qWaitForWindowExposed(viewer));

        bool closedByUser = false;
        QTimer::singleShot(50, &form, [&] { closedByUser = form.close(); });
        QTimer::singleShot(10000, [] { QCoreApplication::exit(99); }); // the loop did not end
        const int result = QCoreApplication::exec();
        QVERIFY(closedByUser);
        QCOMPARE(result, 0);
        QVERIFY(!form.isVisible());
        QVERIFY(!intern.isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(viewer.isNull());
        QCOMPARE(form.currentDevice(), nullptr);
        for (QWidget* w : QApplication::topLevelWidgets())
            QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
    }
};

QTEST_MAIN(TestServiceGlue)
#include "test_service_glue.moc"
