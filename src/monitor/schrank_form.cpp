// SchrankForm: start-up, shutdown, the cabinet's connection, the poll timer and the status bar.
#include "monitor/schrank_form.h"

#include "cabinet/files.h"
#include "cabinet/identity.h"

#include "ui_schrank_form.h"

#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "monitor/panel_status_bar.h"
#include "monitor/schrank_language.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QStyle>
#include <QWindow>

#include <algorithm>

#ifndef HQ_VERSION
#define HQ_VERSION "0.0.0.0"
#endif

namespace hq::monitor {

namespace {

constexpr int kConnectionPanel = 0;
constexpr int kConnectedPanelWidth = 270;
constexpr int kDisconnectedPanelWidth = 354;

QString idText(const char* prefix, std::uint16_t id) {
    return QString::fromLatin1(prefix) +
           QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')).toUpper();
}

// The two 16 x 16 connection symbols: a green disc with a tick, a red disc with a cross.
QPixmap connectionSymbol(bool connected) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(connected ? QColor(0, 100, 0) : QColor(128, 0, 0), 1));
    p.setBrush(connected ? QColor(0, 176, 0) : QColor(208, 0, 0));
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    if (connected) {
        p.drawPolyline(QPolygonF({QPointF(4, 8.5), QPointF(7, 11.5), QPointF(12, 4.5)}));
    } else {
        p.drawLine(QPointF(5, 5), QPointF(11, 11));
        p.drawLine(QPointF(11, 5), QPointF(5, 11));
    }
    return pixmap;
}

// The picture that opens the service window: a small chart.
QPixmap servicePicture() {
    QPixmap pixmap(48, 48);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(64, 64, 64), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(2.5, 2.5, 43, 43));
    p.setPen(QPen(QColor(192, 192, 192), 1, Qt::DashLine));
    for (int y = 12; y < 44; y += 10)
        p.drawLine(4, y, 44, y);
    p.setPen(QPen(QColor(0, 0, 255), 2));
    p.drawPolyline(QPolygonF(
        {QPointF(5, 36), QPointF(14, 28), QPointF(22, 31), QPointF(31, 17), QPointF(43, 12)}));
    p.setPen(QPen(QColor(255, 0, 128), 2));
    p.drawPolyline(QPolygonF({QPointF(5, 41), QPointF(16, 38), QPointF(27, 40), QPointF(43, 33)}));
    return pixmap;
}

// The layout names its fonts ("Sans Serif", "Courier New" in UDPMemo). A system without a font
// of that name (Windows has no "Sans Serif") leaves the choice to Qt's matcher, which may pick
// any font at all: under Wine a mathematics font whose digits do not show in the edit boxes.
// Such a widget takes the system's own user-interface or fixed font at the layout's size. Every
// widget is looked at: on Windows some keep the layout's family when only the window's changes.
void useInstalledFamilies(QWidget& window) {
    const QStringList installed = QFontDatabase::families();
    const QString general = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    const QString fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    QList<QWidget*> widgets = window.findChildren<QWidget*>();
    widgets.prepend(&window);
    for (QWidget* widget : widgets) {
        QFont font = widget->font();
        if (installed.contains(font.family(), Qt::CaseInsensitive))
            continue;
        font.setFamily(QFontInfo(font).fixedPitch() ? fixed : general);
        widget->setFont(font);
    }
}

} // namespace

SchrankForm::SchrankForm(HidDeviceController& controller, SchrankFormOptions options,
                         QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::SchrankForm>()), Hid1(controller),
      options_(std::move(options)) {
    if (options_.dataDirs.isEmpty())
        options_.dataDirs = cabinet::programDataDirs();
    ui_->setupUi(this);
    useInstalledFamilies(*this);
    setupControls();
    setupStatusBar();
    language_ = std::make_unique<SchrankLanguage>(this, ui_->Sprachwahl, options_.applicationDir,
                                                  options_.errors);
    lan_ = std::make_unique<SchrankLan>(
        SchrankLan::Controls{ui_->HostName, ui_->ComboBox1, ui_->Button3, ui_->ProgressBar1,
                             ui_->Netzwerksuche, ui_->Schrankip, ui_->Button2, ui_->UDPMemo},
        options_.lan, options_.applicationDir, options_.dataDirs, options_.errors);

    Timer1.setInterval(1000);
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

    Hid1.setOnArrival(HidPlugEvent::bind(this, &SchrankForm::Hid1Arrival));
    Hid1.setOnRemoval(HidPlugEvent::bind(this, &SchrankForm::Hid1Removal));

    guarded([this] { FormCreate(); });
}

SchrankForm::~SchrankForm() {
    Hid1.setOnArrival(nullptr);
    Hid1.setOnRemoval(nullptr);
    Timer1.stop();
    releaseCurrentDevice();
    claimedDevices_.clear();
}

void SchrankForm::setupControls() {
    setFixedSize(989, 562);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }

    ImageListe[0] = connectionSymbol(true);
    ImageListe[1] = connectionSymbol(false);
    ui_->Image1->setPixmap(servicePicture());
    ui_->resetbtn1->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    ui_->softupdatebtn->setIcon(style()->standardIcon(QStyle::SP_ArrowUp));

    ui_->Image1->installEventFilter(this);
    ui_->IP_Label->installEventFilter(this);
    ui_->TabSheet1->installEventFilter(this);
    ui_->PageControl1->setCurrentWidget(ui_->TabSheet1);

    connect(ui_->setzen, &QPushButton::clicked, this, [this] { setzenClick(); });
    connect(ui_->auslesen, &QPushButton::clicked, this, [this] { auslesenClick(); });
    connect(ui_->Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(ui_->Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(ui_->Button23, &QPushButton::clicked, this, [this] { Button23Click(); });
    connect(ui_->Button27, &QPushButton::clicked, this, [this] { Button27Click(); });
    connect(ui_->resetbtn1, &QPushButton::clicked, this, [this] { resetbtn1Click(); });
    connect(ui_->softupdatebtn, &QPushButton::clicked, this, [this] { softupdatebtnClick(); });
    connect(ui_->Sprachwahl, &QComboBox::activated, this, [this] { SprachwahlChange(); });
    connect(ui_->PageControl1, &QTabWidget::currentChanged, this, [this] {
        guarded([this] {
            if (statusBarShown())
                statbarUsbPanelShown();
        });
    });
}

void SchrankForm::setupStatusBar() {
    PanelStatusBar* bar = ui_->StatbarUSB;
    using Style = PanelStatusBar::PanelStyle;
    bar->addPanel(300, Style::OwnerDraw);
    bar->addPanel(80, Style::Text, Qt::AlignHCenter);
    bar->addPanel(80, Style::Text, Qt::AlignHCenter);
    bar->addPanel(46, Style::Text, Qt::AlignHCenter);
    bar->addPanel(50, Style::Text, Qt::AlignLeft, false);
    bar->setDrawPanelHandler([this](QPainter& painter, int panel, const QRect& rect) {
        StatbarUSBDrawPanel(painter, panel, rect);
    });
    placeStatusBar();
}

void SchrankForm::placeStatusBar() {
    PanelStatusBar* bar = ui_->StatbarUSB;
    const int h = std::max(19, bar->sizeHint().height());
    bar->setGeometry(0, ui_->TabSheet1->height() - h, ui_->TabSheet1->width(), h);
}

QString SchrankForm::versionText() {
    return QStringLiteral(HQ_VERSION);
}

void SchrankForm::FormCreate() {
    ui_->Label24->setText(QStringLiteral("V.") + versionText());
    LoadLanguageList();
    int preference = 0;
    if (const std::optional<int> stored = options_.preference.read())
        preference = *stored;
    // An index that names no entry leaves the box without a selection.
    const bool valid = preference >= 0 && preference < ui_->Sprachwahl->count();
    ui_->Sprachwahl->setCurrentIndex(valid ? preference : -1);
    SprachwahlChange();
    lan_->InitLanTab();
}

void SchrankForm::LoadLanguageList() {
    if (options_.loadLanguageList)
        options_.loadLanguageList(*this);
    else
        language_->LoadLanguageList();
}

void SchrankForm::SprachwahlChange() {
    guarded([this] {
        LanguageIndex = ui_->Sprachwahl->currentIndex();
        language_->applySelectedLanguage();
    });
}

void SchrankForm::closeEvent(QCloseEvent* event) {
    guarded([this] { FormCloseQuery(); });
    guarded([this] { FormClose(); });
    event->accept();
}

void SchrankForm::FormCloseQuery() {
    Timer1.stop();
    releaseCurrentDevice();
    claimedDevices_.clear(); // devices claimed earlier by other arrivals
}

void SchrankForm::FormClose() {
    options_.preference.write(LanguageIndex);
}

void SchrankForm::releaseCurrentDevice() {
    HidDevice* device = CurrentDevice;
    CurrentDevice = nullptr;
    if (device == nullptr)
        return;
    // A device that was never claimed belongs to the controller: only forgotten.
    destroyIfOwned(device);
}

bool SchrankForm::destroyIfOwned(HidDevice* device) {
    const auto owned = std::find_if(claimedDevices_.begin(), claimedDevices_.end(),
                                    [device](const auto& d) { return d.get() == device; });
    if (owned == claimedDevices_.end())
        return false;
    // Destroying it stops its read thread and ends the claim.
    std::unique_ptr<HidDevice> gone = std::move(*owned);
    claimedDevices_.erase(owned);
    gone.reset();
    return true;
}

void SchrankForm::Hid1Arrival(HidDevice* device) {
    guarded([&] {
        if (device == nullptr)
            return;
        const platform::HidAttributes& ids = device->hidAttributes();
        if (!cabinet::isCabinet(ids.vendorId, ids.productId))
            return;
        Connected = true;
        PanelStatusBar* bar = ui_->StatbarUSB;
        bar->setPanelText(1, idText("VID=", cabinet::kVendorId));
        bar->setPanelText(2, idText("PID=", cabinet::kProductId));
        bar->setPanelText(3, device->QuerySerialText());
        ProductName = device->QueryProductText();
        if (statusBarShown())
            statbarUsbPanelShown();

        CurrentDevice = device;
        if (device->canReadWrite()) {
            std::unique_ptr<HidDevice> claimed;
            Hid1.ClaimByIds(claimed, cabinet::kVendorId, cabinet::kProductId);
            CurrentDevice = claimed.get();
            if (claimed) {
                claimed->SetReportHandler(HidDataEvent::bind(this, &SchrankForm::DeviceData));
                claimedDevices_.push_back(std::move(claimed));
            }
        } else {
            device->SetReportHandler(nullptr);
        }
    });
}

void SchrankForm::Hid1Removal(HidDevice* device) {
    guarded([&] {
        if (device == nullptr)
            return;
        const QString product = device->QueryProductText();
        if (product == QLatin1String(cabinet::kProductString))
            addMessage(QStringLiteral("Device \"") + product + QStringLiteral("\" Disconnected!"));
        const platform::HidAttributes& ids = device->hidAttributes();
        if (!cabinet::isCabinet(ids.vendorId, ids.productId))
            return;
        Connected = false;
        if (statusBarShown())
            statbarUsbPanelShown();
        // The removed device goes when it is ours, and with it (or with any other cabinet
        // leaving) the current device is given up.
        if (device != CurrentDevice)
            destroyIfOwned(device);
        releaseCurrentDevice();
    });
}

QString SchrankForm::serialNumberCaption() const {
    return ui_->Label25->text();
}

bool SchrankForm::statusBarShown() const {
    return isVisible() && !isMinimized() && ui_->PageControl1->currentWidget() == ui_->TabSheet1;
}

void SchrankForm::statbarUsbPanelShown() {
    PanelStatusBar* bar = ui_->StatbarUSB;
    if (Connected) {
        PollArmed = true;
        bar->setPanelWidth(kConnectionPanel, kConnectedPanelWidth);
        if (!Timer1.isActive())
            Timer1.start();
    } else {
        bar->setPanelWidth(kConnectionPanel, kDisconnectedPanelWidth);
        for (int panel = 1; panel <= 3; ++panel)
            bar->setPanelText(panel, QString());
        Timer1.stop();
    }
    bar->update();
}

void SchrankForm::StatbarUSBDrawPanel(QPainter& painter, int panel, const QRect& rect) {
    if (panel != kConnectionPanel)
        return;
    const int l = rect.left();
    const int t = rect.top();
    const int baseline = t + 2 + painter.fontMetrics().ascent();
    painter.setPen(palette().color(QPalette::WindowText));
    if (Connected) {
        painter.drawPixmap(l + 2, t + 1, ImageListe[0]);
        painter.drawText(l + 24, baseline,
                         QStringLiteral("\"") + ProductName + QStringLiteral("\" Verbunden !"));
    } else {
        painter.drawPixmap(l + 2, t + 1, ImageListe[1]);
        painter.drawText(l + 78, baseline, QStringLiteral("-- Keine Verbindung zum HQ3746DC ! --"));
    }
}

void SchrankForm::Timer1Timer() {
    guarded([this] {
        if (!Connected) {
            clearMessages();
            addMessage(QStringLiteral("HID not Pressent"));
        } else if (CurrentDevice == nullptr) {
            clearMessages();
            addMessage(QStringLiteral("No Curren Device"));
        } else if (PollArmed) {
            PollArmed = false;
            SendCommand(protocol::configRequest());
        } else {
            clearMessages();
            addMessage(QStringLiteral("Read T7"));
            if (!CurrentDevice->claimed())
                writeAccessHint();
            SendCommand(protocol::statusRequest());
        }
    });
}

void SchrankForm::writeAccessHint() {
    const std::string reason = CurrentDevice->openErrorText();
    addMessage(
        QStringLiteral("No read-write access to the cabinet") +
        (reason.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(reason))) +
        QStringLiteral(": nothing can be sent to it or read from it."));
#ifdef Q_OS_LINUX
    addMessage(QStringLiteral("Install the udev rule: sudo cp packaging/linux/70-hq3746.rules "
                              "/etc/udev/rules.d/"));
    addMessage(QStringLiteral("then: sudo udevadm control --reload && sudo udevadm trigger"));
    addMessage(QStringLiteral("and plug the cabinet in again."));
#else
    addMessage(QStringLiteral("Close other programs that use the cabinet and plug it in again."));
#endif
}

void SchrankForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // FormShow: the language once more (not when the window comes back from being minimised).
    if (!event->spontaneous())
        guarded([this] { language_->applySelectedLanguage(); });
    guarded([this] {
        placeStatusBar();
        if (statusBarShown())
            statbarUsbPanelShown();
    });
    // The native window exists now: follow its exposure (uncovered, restored) as well.
    if (QWindow* window = windowHandle(); window != nullptr && window != watchedWindow_) {
        if (watchedWindow_ != nullptr)
            watchedWindow_->removeEventFilter(this);
        watchedWindow_ = window;
        window->installEventFilter(this);
    }
}

void SchrankForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        guarded([this] {
            if (statusBarShown())
                statbarUsbPanelShown();
        });
    }
}

bool SchrankForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == ui_->Image1) {
            Image1Click();
            return true;
        }
        if (watched == ui_->IP_Label) {
            IP_LabelClick();
            return true;
        }
    }
    if (watched == ui_->TabSheet1 && event->type() == QEvent::Resize)
        placeStatusBar();
    // Exposing the window redraws the status bar; the handling runs after the event, so that
    // the window's own repaint is not disturbed.
    if (watched == watchedWindow_ && event->type() == QEvent::Expose &&
        watchedWindow_->isExposed()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                guarded([this] {
                    if (statusBarShown())
                        statbarUsbPanelShown();
                });
            },
            Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

void SchrankForm::guarded(const std::function<void()>& handler) {
    runGuarded(options_.errors, handler);
}

} // namespace hq::monitor
