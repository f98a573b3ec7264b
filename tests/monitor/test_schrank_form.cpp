// The monitor window against the simulated cabinet on the simulated HID bus, offscreen.
#include "monitor_test_support.h"

#include "monitor/panel_status_bar.h"
#include "sim/cabinet_hid_device.h"
#include "sim/encoder.h"
#include "widgets/led_display.h"

#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPaintEngine>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QWindow>

using namespace hq;
using hq::test::CabinetFunction;
using hq::test::control;
using hq::test::WindowFixture;

namespace {

constexpr int kWait = 5000;

QByteArray hex(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t n) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data() + from), qsizetype(n))
        .toHex(' ')
        .toUpper();
}

QStringList paneLines(monitor::SchrankForm& form) {
    return control<QPlainTextEdit>(form, "txtMessage")->toPlainText().split(QLatin1Char('\n'));
}

QString panel(monitor::SchrankForm& form, int i) {
    return control<hq::monitor::PanelStatusBar>(form, "StatbarUSB")->panelText(i);
}

QColor textColor(const QLabel* label) {
    return label->palette().color(QPalette::WindowText);
}

std::vector<std::uint8_t> configReport(int minor, int major, int doorAlarm = 300,
                                       int returnAir = 1) {
    protocol::ConfigRecord c;
    c.firmwareMinor = std::uint8_t(minor);
    c.firmwareMajor = std::uint8_t(major);
    c.doorAlarmTime = std::uint16_t(doorAlarm);
    c.restartDelay = 600;
    c.serialNumber = 12345678;
    c.macAddress = {0x00, 0x04, 0xA3, 0x01, 0x02, 0x03};
    c.returnAirMonitoring = std::uint8_t(returnAir);
    const sim::InputData d = sim::encodeConfig(c);
    return {d.begin(), d.end()};
}

std::vector<std::uint8_t> statusReport(int fehler, std::array<std::uint8_t, 4> address = {},
                                       int humidityTop = 453, int humidityBottom = 221) {
    protocol::StatusRecord s;
    s.fehler = std::uint8_t(fehler);
    s.cabinetAddress = address;
    s.humidityTop = std::uint16_t(humidityTop);
    s.humidityBottom = std::uint16_t(humidityBottom);
    const sim::InputData d = sim::encodeStatus(s, true);
    return {d.begin(), d.end()};
}

std::vector<std::uint8_t> webReport(const char* text) {
    const sim::InputData d = sim::encodeWebImageVersion(text);
    return {d.begin(), d.end()};
}

// A paint device that records the texts and pictures drawn on it, with their positions, so that
// a widget's painting can be checked without reading pixels of glyphs.
class RecordingDevice : public QPaintDevice {
public:
    struct Text {
        QPointF baseline;
        QString text;
    };
    struct Picture {
        QPointF topLeft;
        QImage image;
    };
    explicit RecordingDevice(QSize size) : size_(size), engine_(this) {}
    QPaintEngine* paintEngine() const override { return &engine_; }
    std::vector<Text> texts;
    std::vector<Picture> pictures;

protected:
    int metric(PaintDeviceMetric m) const override {
        switch (m) {
        case PdmWidth:
            return size_.width();
        case PdmHeight:
            return size_.height();
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDepth:
            return 32;
        case PdmNumColors:
            return INT_MAX;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return int(devicePixelRatioFScale());
        default:
            return QPaintDevice::metric(m);
        }
    }

private:
    class Engine : public QPaintEngine {
    public:
        explicit Engine(RecordingDevice* device) : device_(device) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState& state) override {
            if (state.state() & DirtyTransform)
                transform_ = state.transform();
        }
        void drawPixmap(const QRectF& r, const QPixmap& pm, const QRectF&) override {
            device_->pictures.push_back({transform_.map(r.topLeft()), pm.toImage()});
        }
        void drawTextItem(const QPointF& p, const QTextItem& item) override {
            device_->texts.push_back({transform_.map(p), item.text()});
        }
        // Shapes are not recorded (the defaults of the other primitives end here).
        void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
        void drawPath(const QPainterPath&) override {}
        Type type() const override { return User; }

    private:
        RecordingDevice* device_;
        QTransform transform_;
    };
    QSize size_;
    mutable Engine engine_;
};

// What panel 0 of the status bar draws: its text and the symbol, relative to the panel.
struct ConnectionPanel {
    QString text;
    QPoint textOffset;   // from the panel's top left to the text's baseline start
    QColor symbolCentre; // the disc's colour below its mark
    QPoint symbolOffset;
};

ConnectionPanel drawConnectionPanel(monitor::SchrankForm& form) {
    monitor::PanelStatusBar* bar = control<hq::monitor::PanelStatusBar>(form, "StatbarUSB");
    RecordingDevice device(bar->size());
    bar->render(&device);
    const QRect rect = bar->panelRect(0);
    ConnectionPanel drawn;
    for (const auto& t : device.texts) {
        if (rect.contains(t.baseline.toPoint())) {
            drawn.text = t.text;
            drawn.textOffset = t.baseline.toPoint() - rect.topLeft();
        }
    }
    for (const auto& p : device.pictures) {
        if (rect.contains(p.topLeft.toPoint())) {
            drawn.symbolCentre = p.image.pixelColor(8, 13); // on the disc, off its mark
            drawn.symbolOffset = p.topLeft.toPoint() - rect.topLeft();
        }
    }
    return drawn;
}

} // namespace

class TestSchrankForm : public QObject {
    Q_OBJECT

private:
    // A shown window with the cabinet plugged in and connected.
    struct Connected {
        explicit Connected(platform::SimulatedPlugOptions plugOptions = {},
                           sim::CabinetOptions cabinetOptions = {})
            : cabinet(std::make_shared<CabinetFunction>(std::move(cabinetOptions))) {
            fx.form->show();
            // Exposing the window arms a poll; the tests that tick by hand start after it.
            exposed = QTest::qWaitForWindowExposed(fx.form.get());
            id = fx.bus.plug(cabinet, std::move(plugOptions));
        }
        WindowFixture fx;
        std::shared_ptr<CabinetFunction> cabinet;
        platform::SimulatedDeviceId id = 0;
        bool exposed = false;
    };

private slots:
    void initTestCase() {
        // The user's data folder, where the bootloader program is also looked for, points at a
        // test folder instead of the real one.
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("KOV-test"));
        QCoreApplication::setApplicationName(QStringLiteral("test_schrank_form"));
    }

    void layoutAndStartValues() {
        WindowFixture fx;
        QCOMPARE(fx.form->size(), QSize(989, 562));
        QCOMPARE(fx.form->windowTitle(), QStringLiteral("Monitorprogramm für Trockenschrank"));
        QCOMPARE(control<QLabel>(*fx.form, "Label24")->text(),
                 QStringLiteral("V.") + QStringLiteral(HQ_VERSION));
        QCOMPARE(control<QPlainTextEdit>(*fx.form, "txtMessage")->toPlainText(),
                 QStringLiteral("txtMessage"));
        QCOMPARE(control<QTabWidget>(*fx.form, "PageControl1")->currentWidget(),
                 control<QWidget>(*fx.form, "TabSheet1"));
        QVERIFY(!control<hq::SpinEdit>(*fx.form, "SpinEdit1")->isVisibleTo(fx.form.get()));
        QVERIFY(control<hq::SpinEdit>(*fx.form, "SpinEdit4")->isVisibleTo(fx.form.get()));
        QVERIFY(!control<QCheckBox>(*fx.form, "rueckluftUeberw")->isVisibleTo(fx.form.get()));
        QVERIFY(!control<QGroupBox>(*fx.form, "GroupBox3")->isVisibleTo(fx.form.get()));
        QVERIFY(!control<QLabel>(*fx.form, "Fehlerlabel")->isVisibleTo(fx.form.get()));
        QCOMPARE(control<hq::SpinEdit>(*fx.form, "SpinEdit4")->minimum(), 5);
        QCOMPARE(control<hq::SpinEdit>(*fx.form, "SpinEdit4")->maximum(), 60);
        QCOMPARE(control<hq::SpinEdit>(*fx.form, "SpinEdit5")->minimum(), 0);
        QVERIFY(!fx.form->timer1().isActive());
        QCOMPARE(fx.form->timer1().interval(), 1000);
        // The humidity readouts as the layout configures them.
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay2")->unlitColor(), QColor(0, 57, 57));
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay4")->unlitColor(), QColor(0, 57, 57));
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay5")->unlitColor(), QColor(0, 28, 0));
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay4")->value(), 0.5);
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay2")->numDigits(), 4);
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay2")->fractionDigits(), 1);
        QVERIFY(!control<hq::LedDisplay>(*fx.form, "LEDDisplay2")->leadingZeros());
    }

    // The layout's fonts where the system has them, else the system's own at the layout's size:
    // Windows has no "Sans Serif", and Qt's matcher then took a mathematics font under Wine, in
    // which the edit boxes showed no digits.
    void fontsAreInstalledOrTheSystems() {
        WindowFixture fx;
        const QStringList installed = QFontDatabase::families();
        const QStringList system = {
            QFontDatabase::systemFont(QFontDatabase::GeneralFont).family(),
            QFontDatabase::systemFont(QFontDatabase::FixedFont).family()};
        QList<QWidget*> widgets = fx.form->findChildren<QWidget*>();
        widgets.prepend(fx.form.get());
        for (const QWidget* widget : widgets) {
            const QString family = widget->font().family();
            QVERIFY2(installed.contains(family, Qt::CaseInsensitive) || system.contains(family),
                     qPrintable(widget->objectName() + QLatin1String(": ") + family));
        }
        QCOMPARE(control<QWidget>(*fx.form, "SpinEdit4")->font().pointSize(), 8);
        QCOMPARE(control<QWidget>(*fx.form, "UDPMemo")->font().pointSize(), 8);
    }

    void layoutGeometry_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("inTab"); // relative to the "USB" tab, else to the window
        QTest::addColumn<QRect>("rect"); // a size of 0 is not checked
        auto row = [](const char* name, bool inTab, QRect rect) {
            QTest::newRow(name) << QString::fromLatin1(name) << inTab << rect;
        };
        row("GroupBox1", false, {8, 0, 497, 73});
        row("Sprachwahl", false, {398, 8, 97, 22});
        row("PageControl1", false, {8, 80, 497, 433});
        row("GroupBox2", false, {520, 0, 441, 177});
        row("txtMessage", false, {520, 184, 441, 329});
        row("GroupBox3", false, {520, 184, 0, 0});
        row("Fehlerlabel", false, {360, 40, 0, 0});
        row("SpinEdit4", true, {16, 136, 0, 0});
        row("SpinEdit5", true, {16, 176, 0, 0});
        row("SpinEdit6", true, {304, 208, 0, 0});
        row("SpinEdit7", true, {400, 208, 0, 0});
        row("rueckluftUeberw", true, {16, 216, 0, 0});
        row("setzen", true, {16, 256, 0, 0});
        row("auslesen", true, {96, 256, 0, 0});
        row("resetbtn1", true, {69, 293, 116, 32});
        row("softupdatebtn", true, {69, 333, 116, 32});
        row("Image1", true, {9, 301, 48, 48});
        row("Zeit", true, {192, 276, 289, 89});
        row("Label11", true, {152, 112, 0, 0});
    }
    void layoutGeometry() {
        QFETCH(QString, control);
        QFETCH(bool, inTab);
        QFETCH(QRect, rect);
        WindowFixture fx;
        QWidget* origin = inTab ? hq::test::control<QWidget>(*fx.form, "TabSheet1")
                                : static_cast<QWidget*>(fx.form.get());
        auto* widget = fx.form->findChild<QWidget*>(control);
        QVERIFY(widget != nullptr);
        QCOMPARE(widget->mapTo(origin, QPoint(0, 0)), rect.topLeft());
        if (!rect.size().isEmpty())
            QCOMPARE(widget->size(), rect.size());
    }

    void startTexts() {
        WindowFixture fx;
        // The identity labels until the first replies.
        QCOMPARE(control<QLabel>(*fx.form, "Label35")->text(), QStringLiteral("v:"));
        QCOMPARE(control<QLabel>(*fx.form, "Label15")->text(), QStringLiteral("v:"));
        QCOMPARE(control<QLabel>(*fx.form, "Label25")->text(), QStringLiteral("N#"));
        QCOMPARE(control<QLabel>(*fx.form, "Label20")->text(), QStringLiteral("Mac:"));
        // The address label: a link-like design-time text.
        QVERIFY(!control<QLabel>(*fx.form, "IP_Label")->text().isEmpty());
        QVERIFY(control<QLabel>(*fx.form, "IP_Label")->font().bold());
        QVERIFY(control<QLabel>(*fx.form, "IP_Label")->font().underline());
        QCOMPARE(control<QLabel>(*fx.form, "IP_Label")->cursor().shape(), Qt::PointingHandCursor);
        control<QLabel>(*fx.form, "IP_Label")
            ->ensurePolished(); // its colour comes from a style sheet
        QCOMPARE(textColor(control<QLabel>(*fx.form, "IP_Label")), QColor(Qt::blue));
        // The clock labels are empty until the first clock reply.
        for (QLabel* l :
             {control<QLabel>(*fx.form, "Label26"), control<QLabel>(*fx.form, "Label27"),
              control<QLabel>(*fx.form, "Label28"), control<QLabel>(*fx.form, "Label29")})
            QVERIFY(l->text().isEmpty());
        QVERIFY(!control<QLabel>(*fx.form, "Label11")->isVisibleTo(fx.form.get()));
        // Not connected: nothing in the status panels.
        for (int i = 1; i <= 3; ++i)
            QVERIFY(panel(*fx.form, i).isEmpty());
        QCOMPARE(control<hq::monitor::PanelStatusBar>(*fx.form, "StatbarUSB")->panelCount(), 5);
    }

    void arrivalConnectsAndPolls() {
        Connected c;
        auto& form = *c.fx.form;
        QVERIFY(c.exposed);
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        QCOMPARE(panel(form, 1), QStringLiteral("VID=04D8"));
        QCOMPARE(panel(form, 2), QStringLiteral("PID=003F"));
        QCOMPARE(panel(form, 3), QStringLiteral("HQ0012345678"));
        QCOMPARE(form.productName(), QStringLiteral("HQ3746"));
        QCOMPARE(control<hq::monitor::PanelStatusBar>(form, "StatbarUSB")->panelWidth(0), 270);
        QVERIFY(form.currentDevice() != nullptr);
        QVERIFY(form.currentDevice()->claimed());
        QVERIFY(form.timer1().isActive());
        QVERIFY(form.pollArmed());
        form.timer1().stop(); // the test ticks by hand

        // First tick: "@", answered by the settings, which send "u".
        form.Timer1Timer();
        QVERIFY(!form.pollArmed());
        QTRY_COMPARE_WITH_TIMEOUT(c.cabinet->codes(), (std::vector<std::uint8_t>{'@', 'u'}), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(form, "Label15")->text(),
                                  QStringLiteral("MPFS: 1.003"), kWait);
        QCOMPARE(textColor(control<QLabel>(form, "Label15")), QColor(Qt::black));
        QCOMPARE(control<QLabel>(form, "Label35")->text(), QStringLiteral("V.:1.003"));
        QCOMPARE(control<QLabel>(form, "Label25")->text(), QStringLiteral("N#12345678"));
        QCOMPARE(control<QLabel>(form, "Label20")->text(), QStringLiteral("MAC:00:04:A3:37:46:01"));
        QCOMPARE(control<hq::SpinEdit>(form, "SpinEdit4")->value(), 5);  // 300 s
        QCOMPARE(control<hq::SpinEdit>(form, "SpinEdit5")->value(), 10); // 600 s
        QCOMPARE(c.fx.service.serial, 12345678);
        QCOMPARE(control<QPlainTextEdit>(form, "UDPMemo")->toPlainText(),
                 QStringLiteral("Version_MPFS=1.003;"));

        // The written reports: 65 bytes, report ID 0, the frame, zero fill.
        const auto written = c.cabinet->written();
        QCOMPARE(written.front().size(), std::size_t(65));
        QCOMPARE(written.front()[0], std::uint8_t(0));
        QCOMPARE(std::count(written.front().begin() + 2, written.front().end(), 0), 63);

        // Later ticks: "Read T7" and "v"; the answer refills the pane and the readouts.
        c.cabinet->clearWritten();
        form.Timer1Timer();
        QCOMPARE(c.cabinet->codes(), std::vector<std::uint8_t>{'v'});
        QTRY_VERIFY_WITH_TIMEOUT(!c.fx.service.plotted.empty(), kWait);
        const QStringList lines = paneLines(form);
        QCOMPARE(lines.size(), 20);
        QVERIFY(lines[0].startsWith(QStringLiteral("Aktoren: ")));
        QCOMPARE(lines[19].left(10), QStringLiteral("IntTimer: "));
        const protocol::StatusRecord& plotted = c.fx.service.plotted.back();
        QCOMPARE(control<hq::LedDisplay>(form, "LEDDisplay2")->value(), plotted.humidityTop / 10.0);
        QCOMPARE(control<hq::LedDisplay>(form, "LEDDisplay4")->value(),
                 plotted.humidityBottom / 10.0);
        QCOMPARE(control<QLabel>(form, "IP_Label")->text(), QStringLiteral("192.168.1.20"));
        form.Timer1Timer();
        QCOMPARE(c.cabinet->codes(), (std::vector<std::uint8_t>{'v', 'v'}));
    }

    void connectionPanelFollowsTheCabinet() {
        Connected c;
        auto& form = *c.fx.form;
        const int ascent =
            control<hq::monitor::PanelStatusBar>(form, "StatbarUSB")->fontMetrics().ascent();
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        ConnectionPanel drawn = drawConnectionPanel(form);
        QCOMPARE(drawn.text, QStringLiteral("\"HQ3746\" Verbunden !"));
        QCOMPARE(drawn.textOffset, QPoint(24, 2 + ascent));
        QCOMPARE(drawn.symbolOffset, QPoint(2, 1));
        QVERIFY2(drawn.symbolCentre.green() > 2 * drawn.symbolCentre.red(),
                 qPrintable(drawn.symbolCentre.name()));
        // Drawing changes nothing: the armed poll and the timer stay as they are.
        form.timer1().stop();
        form.Timer1Timer();
        QVERIFY(!form.pollArmed());
        drawConnectionPanel(form);
        QVERIFY(!form.pollArmed());
        QVERIFY(!form.timer1().isActive());

        c.fx.bus.unplug(c.id);
        QTRY_VERIFY_WITH_TIMEOUT(!form.connected(), kWait);
        drawn = drawConnectionPanel(form);
        QCOMPARE(drawn.text, QStringLiteral("-- Keine Verbindung zum HQ3746DC ! --"));
        QCOMPARE(drawn.textOffset, QPoint(78, 2 + ascent));
        QCOMPARE(drawn.symbolOffset, QPoint(2, 1));
        QVERIFY2(drawn.symbolCentre.red() > 2 * drawn.symbolCentre.green(),
                 qPrintable(drawn.symbolCentre.name()));
    }

    void cabinetPresentAtStartIsFoundByTheFirstScan() {
        auto cabinet = std::make_shared<CabinetFunction>();
        // Plugged before the controller exists: only its first scan can report it.
        WindowFixture fx({}, cabinet);
        // The scan waits for the event loop; the window is created and shown before it.
        QVERIFY(!fx.form->connected());
        fx.form->show();
        QTRY_VERIFY_WITH_TIMEOUT(fx.form->connected(), kWait);
        QVERIFY(fx.form->timer1().isActive());
        QVERIFY(fx.form->pollArmed());
        QTRY_COMPARE_WITH_TIMEOUT(cabinet->codes(), (std::vector<std::uint8_t>{'@', 'u'}), 3000);
        QVERIFY(fx.errors.empty());
    }

    void exposingTheWindowArmsThePoll() {
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        form.timer1().stop();
        form.Timer1Timer(); // the armed "@"
        QVERIFY(!form.pollArmed());
        QWindow* window = form.windowHandle();
        QVERIFY(window != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(window->isExposed(), kWait);
        // Uncovered: the status bar is drawn anew, so the next tick asks for the settings.
        QExposeEvent uncovered{QRegion(form.rect())};
        QCoreApplication::sendEvent(window, &uncovered);
        QTRY_VERIFY_WITH_TIMEOUT(form.pollArmed(), kWait);
        QVERIFY(form.timer1().isActive());
        form.timer1().stop();
        c.cabinet->clearWritten();
        form.Timer1Timer();
        QCOMPARE(c.cabinet->codes().front(), std::uint8_t('@'));
        // With the "LAN" tab shown the status bar is not drawn: nothing changes.
        control<QTabWidget>(form, "PageControl1")
            ->setCurrentWidget(control<QWidget>(form, "TabSheet2"));
        QCoreApplication::sendEvent(window, &uncovered);
        QTest::qWait(50);
        QVERIFY(!form.pollArmed());
        QVERIFY(!form.timer1().isActive());
    }

    void removalDisconnects() {
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        c.fx.bus.unplug(c.id);
        QTRY_VERIFY_WITH_TIMEOUT(!form.connected(), kWait);
        QCOMPARE(paneLines(form).last(), QStringLiteral("Device \"HQ3746\" Disconnected!"));
        QVERIFY(form.currentDevice() == nullptr);
        QVERIFY(!form.timer1().isActive());
        QCOMPARE(control<hq::monitor::PanelStatusBar>(form, "StatbarUSB")->panelWidth(0), 354);
        for (int i = 1; i <= 3; ++i)
            QVERIFY(panel(form, i).isEmpty());
        // Nothing is sent any more.
        c.cabinet->clearWritten();
        form.setzenClick();
        form.auslesenClick();
        form.SendSerialNumber(1);
        QVERIFY(c.cabinet->written().empty());
        // The claimed device was given up: the controller lists nothing.
        QTRY_VERIFY_WITH_TIMEOUT(c.fx.controller->devices().empty(), kWait);
    }

    void replugReconnects() {
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        c.fx.bus.unplug(c.id);
        QTRY_VERIFY_WITH_TIMEOUT(!form.connected(), kWait);
        c.id = c.fx.bus.plug(c.cabinet);
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        QVERIFY(form.currentDevice() != nullptr && form.currentDevice()->claimed());
        QVERIFY(form.timer1().isActive());
    }

    void arrivalWhileLanTabShown() {
        WindowFixture fx;
        fx.form->show();
        control<QTabWidget>(*fx.form, "PageControl1")
            ->setCurrentWidget(control<QWidget>(*fx.form, "TabSheet2"));
        auto cabinet = std::make_shared<CabinetFunction>();
        fx.bus.plug(cabinet);
        QTRY_VERIFY_WITH_TIMEOUT(fx.form->connected(), kWait);
        QCOMPARE(panel(*fx.form, 1), QStringLiteral("VID=04D8"));
        QCOMPARE(panel(*fx.form, 3), QStringLiteral("HQ0012345678"));
        QVERIFY(!fx.form->timer1().isActive());
        QVERIFY(!fx.form->pollArmed());
        control<QTabWidget>(*fx.form, "PageControl1")
            ->setCurrentWidget(control<QWidget>(*fx.form, "TabSheet1"));
        QVERIFY(fx.form->timer1().isActive());
        QVERIFY(fx.form->pollArmed());
    }

    void removalWhileLanTabShown() {
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        control<QTabWidget>(form, "PageControl1")
            ->setCurrentWidget(control<QWidget>(form, "TabSheet2"));
        c.fx.bus.unplug(c.id);
        QTRY_VERIFY_WITH_TIMEOUT(!form.connected(), kWait);
        QVERIFY(form.timer1().isActive());
        QCOMPARE(panel(form, 1), QStringLiteral("VID=04D8")); // not repainted
        form.Timer1Timer();
        QCOMPARE(paneLines(form), QStringList{QStringLiteral("HID not Pressent")});
        control<QTabWidget>(form, "PageControl1")
            ->setCurrentWidget(control<QWidget>(form, "TabSheet1"));
        QVERIFY(!form.timer1().isActive());
        QVERIFY(panel(form, 1).isEmpty());
    }

    void resetMakesTheCabinetLeaveAndComeBack() {
        WindowFixture fx;
        fx.form->show();
        sim::CabinetOptions options;
        options.resetDuration = std::chrono::milliseconds(200);
        sim::Cabinet cabinet(options);
        sim::CabinetHidDevice device(fx.bus, cabinet);
        device.plug();
        QTimer pump;
        connect(&pump, &QTimer::timeout, [&] { device.pump(); });
        pump.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(fx.form->connected(), kWait);
        QTest::mouseClick(control<QPushButton>(*fx.form, "resetbtn1"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!fx.form->connected(), kWait);
        QCOMPARE(paneLines(*fx.form).last(), QStringLiteral("Device \"HQ3746\" Disconnected!"));
        QTRY_VERIFY_WITH_TIMEOUT(fx.form->connected(), kWait);
        QVERIFY(fx.form->currentDevice() != nullptr);
        QVERIFY(fx.form->currentDevice()->claimed());
        QVERIFY(fx.form->timer1().isActive());
        QVERIFY(fx.form->pollArmed());
        // The new device answers: the next poll brings the settings.
        fx.form->timer1().stop();
        fx.form->Timer1Timer();
        QTRY_COMPARE_WITH_TIMEOUT(control<QLabel>(*fx.form, "Label25")->text(),
                                  QStringLiteral("N#12345678"), kWait);
    }

    void setzenSendsSettingsFrame_data() {
        QTest::addColumn<int>("door");
        QTest::addColumn<int>("restart");
        QTest::addColumn<bool>("returnAir");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("10 min, 5 min, off")
            << 10 << 5 << false << QByteArray("41 32 32 1E 58 02 2C 01 00 00 00 00 00 02");
        QTest::newRow("5 min, 0 min, off")
            << 5 << 0 << false << QByteArray("41 32 32 1E 2C 01 00 00 00 00 00 00 00 02");
        QTest::newRow("60 min, 60 min, on")
            << 60 << 60 << true << QByteArray("41 32 32 1E 10 0E 10 0E 00 00 00 00 00 01");
    }
    void setzenSendsSettingsFrame() {
        QFETCH(int, door);
        QFETCH(int, restart);
        QFETCH(bool, returnAir);
        QFETCH(QByteArray, frame);
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        form.timer1().stop();
        c.cabinet->clearWritten();
        control<hq::SpinEdit>(form, "SpinEdit4")->setValue(door);
        control<hq::SpinEdit>(form, "SpinEdit5")->setValue(restart);
        control<QCheckBox>(form, "rueckluftUeberw")
            ->setChecked(returnAir); // counts also while hidden
        QTest::mouseClick(control<QPushButton>(form, "setzen"), Qt::LeftButton);
        const auto written = c.cabinet->written();
        QCOMPARE(written.size(), std::size_t(1));
        QCOMPARE(written[0].size(), std::size_t(65));
        QCOMPARE(hex(written[0], 1, 14), frame);
        // The terminating zero and the fill follow.
        QCOMPARE(std::count(written[0].begin() + 15, written[0].end(), 0), 50);
        // The cabinet took the new settings: "Auslesen" shows them.
        form.auslesenClick();
        QTRY_COMPARE_WITH_TIMEOUT(control<hq::SpinEdit>(form, "SpinEdit4")->value(), door, kWait);
        QCOMPARE(control<hq::SpinEdit>(form, "SpinEdit5")->value(), restart);
    }

    void typedSettingsAreBroughtIntoRange_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("sent"); // minutes in the frame's door-alarm field
        QTest::newRow("in range") << "45" << 45;
        QTest::newRow("below the minimum") << "2" << 5;
        QTest::newRow("empty is the minimum") << "" << 5;
        QTest::newRow("above the maximum becomes the maximum") << "75" << 60;
        QTest::newRow("far above the maximum") << "99999" << 60;
        QTest::newRow("at the maximum") << "60" << 60;
        QTest::newRow("no number is the minimum") << "-" << 5;
    }
    void typedSettingsAreBroughtIntoRange() {
        QFETCH(QString, typed);
        QFETCH(int, sent);
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        form.timer1().stop();
        c.cabinet->setAnswering(false);
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QSpinBox* door = control<hq::SpinEdit>(form, "SpinEdit4");
        door->setValue(30);
        door->setFocus();
        door->selectAll();
        QTest::keyClick(door, Qt::Key_Delete);
        QTest::keyClicks(door, typed);
        c.cabinet->clearWritten();
        QTest::mouseClick(control<QPushButton>(form, "setzen"),
                          Qt::LeftButton); // takes the focus first
        QCOMPARE(door->value(), sent);
        const auto written = c.cabinet->written();
        QCOMPARE(written.size(), std::size_t(1));
        const int seconds = written[0][5] | (written[0][6] << 8);
        QCOMPARE(seconds, sent * 60);
        QCOMPARE(door->text(), QString::number(sent));
    }

    void typedValueAboveRangeOnEnter() {
        // Enter finishes the typing as leaving the field does: 75 in the restart delay (0 to 60)
        // becomes 60.
        WindowFixture fx;
        fx.form->show();
        fx.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(fx.form.get()));
        QSpinBox* restart = control<hq::SpinEdit>(*fx.form, "SpinEdit5");
        restart->setFocus();
        restart->selectAll();
        QTest::keyClicks(restart, QStringLiteral("75"));
        QCOMPARE(restart->text(), QStringLiteral("75")); // taken while typing
        QTest::keyClick(restart, Qt::Key_Return);
        QCOMPARE(restart->value(), 60);
        QCOMPARE(restart->text(), QStringLiteral("60"));
    }

    void buttonsSendTheirCommands_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("code");
        QTest::newRow("Lesen") << "Button23" << 0x33;
        QTest::newRow("Reset") << "resetbtn1" << 0xFF;
        QTest::newRow("Log") << "Button1" << 0x76;
        QTest::newRow("Button4") << "Button4" << 0x75;
        QTest::newRow("Auslesen") << "auslesen" << 0x40;
        QTest::newRow("Stellen") << "Button27" << 0x32;
    }
    void buttonsSendTheirCommands() {
        QFETCH(QString, button);
        QFETCH(int, code);
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        form.timer1().stop();
        c.cabinet->setAnswering(false);
        c.cabinet->clearWritten();
        auto* b = form.findChild<QPushButton*>(button);
        QVERIFY(b);
        b->click(); // hidden buttons too
        QCOMPARE(c.cabinet->codes(), std::vector<std::uint8_t>{std::uint8_t(code)});
    }

    void clockIsShown_data() {
        QTest::addColumn<QList<int>>("record"); // status, h, m, s, day, month, year
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("date");
        QTest::newRow("leading zeros") << QList<int>{1, 9, 5, 7, 6, 3, 24} << "09:05:07"
                                       << "06.03.2024";
        QTest::newRow("two digits") << QList<int>{0, 23, 59, 58, 31, 12, 99} << "23:59:58"
                                    << "31.12.2099";
        QTest::newRow("midnight, year 0") << QList<int>{1, 0, 0, 0, 1, 1, 0} << "00:00:00"
                                          << "01.01.2000";
    }
    void clockIsShown() {
        QFETCH(QList<int>, record);
        QFETCH(QString, time);
        QFETCH(QString, date);
        // The PC's clock at the moment the reply is decoded: 15 July 2031, 10:42:13 local time.
        const QDateTime pcNow(QDate(2031, 7, 15), QTime(10, 42, 13));
        const auto fixedNow = std::chrono::system_clock::time_point(
            std::chrono::milliseconds(pcNow.toMSecsSinceEpoch()));
        WindowFixture fx([&](monitor::SchrankFormOptions& o) { o.now = [=] { return fixedNow; }; });
        QVERIFY(control<QLabel>(*fx.form, "Label26")->text().isEmpty() &&
                control<QLabel>(*fx.form, "Label27")->text().isEmpty());
        protocol::ClockRecord clock{std::uint8_t(record[0]), std::uint8_t(record[1]),
                                    std::uint8_t(record[2]), std::uint8_t(record[3]),
                                    std::uint8_t(record[4]), std::uint8_t(record[5]),
                                    std::uint8_t(record[6])};
        const sim::InputData d = sim::encodeClock(clock);
        fx.form->DecodeReply(d);
        // "TR Zeit": the cabinet's clock.
        QCOMPARE(control<QLabel>(*fx.form, "Label27")->text(), time);
        QCOMPARE(control<QLabel>(*fx.form, "Label29")->text(), date);
        // "PC Zeit": the PC's clock in its own formats.
        QVERIFY2(control<QLabel>(*fx.form, "Label26")->text().contains(QStringLiteral("42:13")),
                 qPrintable(control<QLabel>(*fx.form, "Label26")->text()));
        QCOMPARE(control<QLabel>(*fx.form, "Label28")->text(),
                 QLocale::system().toString(pcNow.date(), QLocale::ShortFormat));
        QVERIFY(control<QLabel>(*fx.form, "Label28")->text().contains(QStringLiteral("15")));
        QCOMPARE(paneLines(*fx.form).last(),
                 QStringLiteral("Read RTC: ") + QString::number(record[0]));
    }

    void clockRoundTrip() {
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        form.timer1().stop();
        QTest::mouseClick(control<QPushButton>(form, "Button23"), Qt::LeftButton); // "Lesen"
        QTRY_VERIFY_WITH_TIMEOUT(!control<QLabel>(form, "Label27")->text().isEmpty(), kWait);
        QVERIFY(!control<QLabel>(form, "Label26")->text().isEmpty());
        QVERIFY(!control<QLabel>(form, "Label28")->text().isEmpty());
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))
                    .match(control<QLabel>(form, "Label27")->text())
                    .hasMatch());
        QVERIFY(control<QLabel>(form, "Label29")->text().contains(QStringLiteral(".20")));
    }

    void settingsDisplay_data() {
        QTest::addColumn<int>("minor");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("doorAlarm");
        QTest::addColumn<int>("returnAir");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<int>("spinEdit4");
        QTest::addColumn<QString>("version");
        QTest::newRow("1.012 shows the check box")
            << 12 << 1 << 600 << 1 << true << true << 10 << "V.:1.012";
        QTest::newRow("1.011 hides it") << 11 << 1 << 600 << 1 << false << true << 10 << "V.:1.011";
        QTest::newRow("2.011 hides it too")
            << 11 << 2 << 600 << 0 << false << false << 10 << "V.:2.011";
        QTest::newRow("120 s is below the minimum")
            << 12 << 1 << 120 << 2 << true << false << 5 << "V.:1.012";
        QTest::newRow("4000 s is above the maximum")
            << 0 << 2 << 4000 << 1 << false << true << 60 << "V.:2";
        QTest::newRow("1.010") << 10 << 1 << 300 << 1 << false << true << 5 << "V.:1.01";
    }
    void settingsDisplay() {
        QFETCH(int, minor);
        QFETCH(int, major);
        QFETCH(int, doorAlarm);
        QFETCH(int, returnAir);
        QFETCH(bool, shown);
        QFETCH(bool, checked);
        QFETCH(int, spinEdit4);
        QFETCH(QString, version);
        WindowFixture fx;
        fx.form->show();
        fx.form->DecodeReply(configReport(minor, major, doorAlarm, returnAir));
        QCOMPARE(control<QCheckBox>(*fx.form, "rueckluftUeberw")->isVisible(), shown);
        QCOMPARE(control<QCheckBox>(*fx.form, "rueckluftUeberw")->isChecked(), checked);
        QCOMPARE(control<hq::SpinEdit>(*fx.form, "SpinEdit4")->value(), spinEdit4);
        QCOMPARE(control<QLabel>(*fx.form, "Label35")->text(), version);
        QCOMPARE(control<QLabel>(*fx.form, "Label20")->text(),
                 QStringLiteral("MAC:00:04:A3:01:02:03"));
        QCOMPARE(paneLines(*fx.form), QStringList{QStringLiteral("WR_T6")});
        QCOMPARE(fx.service.serial, 12345678);
    }

    void errorLabelFollowsFehler() {
        WindowFixture fx;
        fx.form->show();
        fx.form->DecodeReply(statusReport(7));
        QVERIFY(control<QLabel>(*fx.form, "Label11")->isVisible());
        QCOMPARE(control<QLabel>(*fx.form, "Label11")->text(), QStringLiteral("Fehler: 7"));
        QCOMPARE(paneLines(*fx.form)[1], QStringLiteral("FEHLER: 7"));
        fx.form->DecodeReply(statusReport(0));
        QVERIFY(!control<QLabel>(*fx.form, "Label11")->isVisible());
        QCOMPARE(fx.service.plotted.size(), std::size_t(2));
    }

    void readoutsAndAddress() {
        WindowFixture fx;
        fx.form->DecodeReply(statusReport(0, {0xC0, 0xA8, 0x01, 0x32}, 453, 1234));
        QCOMPARE(control<QLabel>(*fx.form, "IP_Label")->text(), QStringLiteral("192.168.1.50"));
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay2")->value(), 45.3);
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay2")->valueText().text,
                 QStringLiteral("0453"));
        QCOMPARE(control<hq::LedDisplay>(*fx.form, "LEDDisplay4")->value(), 123.4);
        // The address label opens the cabinet's web page.
        QTest::mouseClick(control<QLabel>(*fx.form, "IP_Label"), Qt::LeftButton);
        QCOMPARE(fx.openedUrls.size(), std::size_t(1));
        QCOMPARE(fx.openedUrls[0].toString(), QStringLiteral("http://192.168.1.50"));
    }

    void webImageVersionColour_data() {
        QTest::addColumn<int>("firmwareMinor");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("older image is red") << 3 << "Version_MPFS = 1.002 ;"
                                            << "MPFS: 1.002" << QColor(Qt::red);
        QTest::newRow("same version is black") << 3 << "Version_MPFS=1.003;"
                                               << "MPFS: 1.003" << QColor(Qt::black);
        QTest::newRow("newer image is black") << 3 << "Version_MPFS=1.010;"
                                              << "MPFS: 1.010" << QColor(Qt::black);
        QTest::newRow("no keyword changes nothing") << 3 << "hello"
                                                    << "v:" << QColor(Qt::black);
        QTest::newRow("not a number: text only") << 3 << "Version_MPFS=beta;"
                                                 << "MPFS: beta" << QColor(Qt::black);
    }
    void webImageVersionColour() {
        QFETCH(int, firmwareMinor);
        QFETCH(QString, text);
        QFETCH(QString, label);
        QFETCH(QColor, colour);
        WindowFixture fx;
        fx.form->DecodeReply(configReport(firmwareMinor, 1));
        fx.form->DecodeReply(webReport(text.toLatin1().constData()));
        QCOMPARE(control<QLabel>(*fx.form, "Label15")->text(), label);
        QCOMPARE(textColor(control<QLabel>(*fx.form, "Label15")), colour);
        QCOMPARE(control<QPlainTextEdit>(*fx.form, "UDPMemo")->toPlainText(), text);
    }

    void noWriteAccessExplainsWhy() {
        platform::SimulatedPlugOptions refuse;
        refuse.refuseReadWrite = true;
        Connected c(refuse);
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        QVERIFY(form.currentDevice() != nullptr);
        QVERIFY(!form.currentDevice()->claimed());
        QCOMPARE(panel(form, 1), QStringLiteral("VID=04D8"));
        form.timer1().stop();
        form.Timer1Timer(); // the armed "@" goes nowhere
        form.Timer1Timer();
        const QStringList lines = paneLines(form);
        QCOMPARE(lines[0], QStringLiteral("Read T7"));
        QVERIFY(lines.size() > 1);
        QVERIFY(lines[1].contains(QStringLiteral("No read-write access")));
        QVERIFY(lines[1].contains(QStringLiteral("ermission denied")));
#ifdef Q_OS_LINUX
        QVERIFY(lines.join(QLatin1Char(' ')).contains(QStringLiteral("70-hq3746.rules")));
#endif
        QVERIFY(c.cabinet->written().empty());
        // Removal only forgets the device: it belongs to the controller.
        c.fx.bus.unplug(c.id);
        QTRY_VERIFY_WITH_TIMEOUT(!form.connected(), kWait);
        QVERIFY(form.currentDevice() == nullptr);
    }

    void softwareUpdate_data() {
        QTest::addColumn<bool>("bootloaderPresent");
        QTest::addColumn<bool>("inDataFolder"); // in the user's data folder, not beside the exe
        QTest::newRow("bootloader missing") << false << false;
        QTest::newRow("bootloader present") << true << false;
        QTest::newRow("bootloader only in the user's data folder") << true << true;
    }
    void softwareUpdate() {
        QFETCH(bool, bootloaderPresent);
        QFETCH(bool, inDataFolder);
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        form.timer1().stop();
        c.cabinet->setAnswering(false);
        c.cabinet->clearWritten();
        const QString besideExe = form.bootloaderPath();
        QVERIFY2(besideExe.startsWith(c.fx.appDir.path()),
                 qPrintable(besideExe + QStringLiteral(" is not in ") + c.fx.appDir.path()));
        const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(!dataDir.isEmpty());
        const QString folder = inDataFolder ? dataDir : c.fx.appDir.path();
        const QString program =
            QDir::cleanPath(folder + QStringLiteral("/") + QFileInfo(besideExe).dir().dirName() +
                            QStringLiteral("/") + QFileInfo(besideExe).fileName());
        // (made read-only below, which on Windows also keeps it from being removed)
        const auto removeProgram = qScopeGuard([&] {
            QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner);
            QFile::remove(program);
        });
        QVERIFY2(!QFile::exists(program), qPrintable(program + QStringLiteral(" left over")));
        if (bootloaderPresent) {
            QVERIFY(QDir(folder).mkpath(QStringLiteral("Bootloader")));
            QFile f(program);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.close();
            f.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
            QCOMPARE(form.bootloaderPath(), program);
        }
        QTest::mouseClick(control<QPushButton>(form, "softupdatebtn"), Qt::LeftButton);
        if (bootloaderPresent) {
            QCOMPARE(c.cabinet->codes(), std::vector<std::uint8_t>{0xFE});
            QCOMPARE(c.cabinet->written()[0][2], std::uint8_t(0));
            QCOMPARE(c.fx.startedPrograms, std::vector<QString>{program});
            QVERIFY(c.fx.errors.empty());
        } else {
            QVERIFY(c.cabinet->written().empty());
            QVERIFY(c.fx.startedPrograms.empty());
            QCOMPARE(c.fx.errors.size(), std::size_t(1));
            // Both places where it is looked for are named.
            QVERIFY2(c.fx.errors[0].contains(QDir::toNativeSeparators(program)),
                     qPrintable(c.fx.errors[0]));
            QVERIFY2(c.fx.errors[0].contains(
                         QDir::toNativeSeparators(dataDir + QStringLiteral("/Bootloader/"))),
                     qPrintable(c.fx.errors[0]));
        }
    }

    void serviceCommands() {
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        form.timer1().stop();
        c.cabinet->setAnswering(false);
        c.cabinet->clearWritten();
        form.SendSerialNumber(12345678);
        form.SendDispLdr();
        form.SendWdtTest();
        const auto written = c.cabinet->written();
        QCOMPARE(written.size(), std::size_t(3));
        QCOMPARE(hex(written[0], 1, 6), QByteArray("78 4E 61 BC 00 00"));
        QCOMPARE(hex(written[1], 1, 2), QByteArray("77 00"));
        QCOMPARE(hex(written[2], 1, 2), QByteArray("FD 00"));
        // The picture opens the one service window, also when clicked twice.
        QTest::mouseClick(control<QLabel>(form, "Image1"), Qt::LeftButton);
        QTest::mouseClick(control<QLabel>(form, "Image1"), Qt::LeftButton);
        QCOMPARE(c.fx.service.shown, 2);
    }

    void closeReleasesCabinetBeforeStoringPreference() {
        Connected c;
        auto& form = *c.fx.form;
        QTRY_VERIFY_WITH_TIMEOUT(form.connected(), kWait);
        HidDevice* claimed = form.currentDevice();
        QVERIFY(form.close());
        QVERIFY(form.currentDevice() == nullptr);
        QVERIFY(!form.timer1().isActive());
        // Destroying the claimed device left a free one in its place at the controller.
        QCOMPARE(c.fx.controller->devices().size(), std::size_t(1));
        QVERIFY(!c.fx.controller->devices()[0]->claimed());
        QVERIFY(c.fx.controller->devices()[0] != claimed);
        // Without a language catalogue the box has no selection: -1 is stored.
        QCOMPARE(monitor::LanguagePreference(hq::test::preferenceOrganisation(),
                                             QStringLiteral("HQ3746DC"))
                     .read(),
                 std::optional<int>(-1));
    }
};

QTEST_MAIN(TestSchrankForm)
#include "test_schrank_form.moc"
