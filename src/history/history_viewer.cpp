#include "history/history_viewer.h"

#include "service/chart_dialogs.h"
#include "service/chart_file.h"
#include "service/measurement_chart.h"
#include "ui_history_viewer.h"

#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

namespace hq::history {

namespace {
constexpr std::int64_t kHourMs = 3600000;
constexpr std::int64_t kSpans[] = {kHourMs, 24 * kHourMs, 7 * 24 * kHourMs, 30 * 24 * kHourMs};
} // namespace

HistoryViewer::HistoryViewer(std::unique_ptr<HistoryViewSource> source, QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::HistoryViewer>()), source_(std::move(source)) {
    ui_->setupUi(this);
    service::MeasurementChart* c = ui_->Chart1;
    c->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    c->axisRect()->setRangeDrag(Qt::Horizontal);
    c->axisRect()->setRangeZoom(Qt::Horizontal);
    c->installEventFilter(this);
    c->setFocusPolicy(Qt::StrongFocus);
    // Before every drawing the store is made to match the shown range.
    connect(c->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this] {
        if (!updateQueued_) {
            updateQueued_ = true;
            QTimer::singleShot(0, this, [this] { updateView(); });
        }
    });
    c->setCsvExporter([this](const QString& path, std::optional<std::pair<double, double>> r) {
        TimeRange range;
        if (r) {
            range.fromMs = std::int64_t(r->first);
            range.toMs = std::int64_t(r->second);
        }
        return exportCsv(source_->reader(), path, range);
    });
    connect(ui_->Button1, &QPushButton::clicked, c, [c] { c->setLeftRange(0, 20); });
    connect(ui_->Button2, &QPushButton::clicked, c, [c] { c->setLeftRange(0, 300); });
    connect(ui_->Button7, &QPushButton::clicked, this, [this] {
        // Autosize over everything stored: the whole range first, then both axes fitted.
        showRange(Range::All);
        ui_->Chart1->autosize();
    });
    connect(ui_->Button6, &QPushButton::clicked, this, [this, c] {
        if (service::runChartEditor(*c, this)) {
            const service::ChartSettings s = c->settings();
            ui_->CheckBoxLegend->setChecked(s.legendVisible);
            ui_->CheckBoxHorizontal->setChecked(s.left.grid);
            ui_->CheckBoxBottom->setChecked(s.bottom.grid);
        }
    });
    connect(ui_->Button4, &QPushButton::clicked, this,
            [this, c] { service::runChartExport(*c, this); });
    connect(ui_->Button5, &QPushButton::clicked, this, &HistoryViewer::kovSaveClick);
    connect(ui_->CheckBoxLegend, &QCheckBox::toggled, c,
            &service::MeasurementChart::setLegendVisible);
    connect(ui_->CheckBoxHorizontal, &QCheckBox::toggled, c,
            &service::MeasurementChart::setHorizontalGridVisible);
    connect(ui_->CheckBoxBottom, &QCheckBox::toggled, c,
            &service::MeasurementChart::setVerticalGridVisible);
    connect(ui_->RangeBox, qOverload<int>(&QComboBox::activated), this, [this](int index) {
        reload();
        showRange(Range(index));
    });
    ui_->RangeBox->setCurrentIndex(int(Range::All));
    updateTitle();
    showProblems();
    // Opens on everything stored: far out, drawn from the block summaries alone.
    showRange(Range::All);
}

HistoryViewer::~HistoryViewer() = default;

service::MeasurementChart* HistoryViewer::chart() const {
    return ui_->Chart1;
}

void HistoryViewer::updateTitle() {
    const ArchiveReader& r = source_->reader();
    setWindowTitle(
        QStringLiteral("Verlauf N#%1 \u2013 %2")
            .arg(QString::fromStdString(r.key()), QDir::toNativeSeparators(r.directory())));
    updateStatus();
}

void HistoryViewer::updateStatus() {
    QString text = QStringLiteral("%1 Datens\u00e4tze").arg(source_->reader().recordCount());
    if (!toldLines_.isEmpty())
        text += QStringLiteral(", %1 besch\u00e4digt").arg(toldLines_.size());
    ui_->StatusLabel->setText(text);
    ui_->StatusLabel->setToolTip(toldLines_.join(QLatin1Char('\n')));
}

void HistoryViewer::showProblems() {
    // Each problem is told once per window: on the status line (with the list as its tool tip)
    // and on standard error.
    bool any = false;
    for (const Problem& p : source_->reader().takeProblems()) {
        if (!told_.insert({int(p.kind), p.file, p.offset}).second)
            continue;
        const std::string line = describeProblem(p);
        toldLines_ << QString::fromStdString(line);
        std::fprintf(stderr, "history: %s\n", line.c_str());
        any = true;
    }
    if (any)
        updateStatus();
}

void HistoryViewer::showRange(Range range) {
    const ArchiveReader& r = source_->reader();
    const auto first = r.firstTimeMs(), last = r.lastTimeMs();
    if (!first || !last)
        return;
    double to = double(*last), from = double(*first);
    if (range != Range::All)
        from = to - double(kSpans[int(range)]);
    if (to - from < 1000)
        from = to - 1000;
    const QSignalBlocker block(ui_->RangeBox);
    ui_->RangeBox->setCurrentIndex(int(range));
    ui_->Chart1->setBottomRange(from, to);
    updateView();
}

HistoryViewer::Range HistoryViewer::range() const {
    return Range(ui_->RangeBox->currentIndex());
}

void HistoryViewer::pan(double fraction) {
    service::MeasurementChart* c = ui_->Chart1;
    const double w = c->viewToMs() - c->viewFromMs();
    c->setBottomRange(c->viewFromMs() + fraction * w, c->viewToMs() + fraction * w);
}

void HistoryViewer::zoom(double factor) {
    service::MeasurementChart* c = ui_->Chart1;
    const double mid = (c->viewFromMs() + c->viewToMs()) / 2;
    const double half = std::max(500.0, (c->viewToMs() - c->viewFromMs()) / 2 * factor);
    c->setBottomRange(mid - half, mid + half);
}

void HistoryViewer::updateView() {
    updateQueued_ = false;
    service::MeasurementChart* c = ui_->Chart1;
    const double from = c->viewFromMs(), to = c->viewToMs();
    const int halfColumns = 2 * std::max(1, c->axisRect()->width());
    if (source_->serves(view_, from, to, halfColumns))
        return;
    view_ = source_->build(from, to, halfColumns);
    // The chart draws from a store of its own; the view keeps the flags of what it holds.
    auto store = std::move(view_.store);
    view_.store = std::make_unique<service::HistoryStore>(service::seriesEncodings());
    service::ChartSettings s = c->settings();
    s.bottom.automatic = false;
    s.bottom.min = from;
    s.bottom.max = to;
    c->setChart(std::move(store), s);
    showProblems();
}

QString HistoryViewer::saveShownRange(const QString& chosen) {
    service::MeasurementChart* c = ui_->Chart1;
    TimeRange range;
    range.fromMs = std::int64_t(c->viewFromMs());
    range.toMs = std::int64_t(c->viewToMs());
    const QString error =
        exportChart(source_->reader(), service::chartFileName(chosen), c->settings(), range);
    showProblems();
    return error;
}

void HistoryViewer::kovSaveClick() {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QStringLiteral("Chart files (*.hqchart)"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString error = saveShownRange(dialog.selectedFiles().constFirst());
    if (!error.isEmpty())
        QMessageBox::critical(this, windowTitle(), error);
}

QString HistoryViewer::reload() {
    auto reader = ArchiveReader::open(source_->reader().directory());
    if (!reader)
        return QString::fromStdString(reader.error().message);
    source_ = std::make_unique<HistoryViewSource>(std::move(*reader));
    view_ = HistoryView{};
    updateTitle();
    showProblems();
    return {};
}

bool HistoryViewer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui_->Chart1 &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Show) && !updateQueued_) {
        // A new width may need another resolution.
        updateQueued_ = true;
        QTimer::singleShot(0, this, [this] { updateView(); });
    }
    if (watched == ui_->Chart1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const double step = key->modifiers() & Qt::ShiftModifier ? 0.5 : 0.1;
        switch (key->key()) {
        case Qt::Key_Left:
            pan(-step);
            return true;
        case Qt::Key_Right:
            pan(step);
            return true;
        case Qt::Key_Plus:
        case Qt::Key_Up:
            zoom(0.5);
            return true;
        case Qt::Key_Minus:
        case Qt::Key_Down:
            zoom(2.0);
            return true;
        case Qt::Key_Home: {
            const auto first = source_->reader().firstTimeMs();
            const double w = chart()->viewToMs() - chart()->viewFromMs();
            if (first)
                chart()->setBottomRange(double(*first), double(*first) + w);
            return true;
        }
        case Qt::Key_End: {
            const auto last = source_->reader().lastTimeMs();
            const double w = chart()->viewToMs() - chart()->viewFromMs();
            if (last)
                chart()->setBottomRange(double(*last) - w, double(*last));
            return true;
        }
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

HistoryViewer* openHistoryWindow(const QString& directory, QWidget* parent, QString* error) {
    auto reader = ArchiveReader::open(directory);
    if (!reader) {
        if (error)
            *error = QString::fromStdString(reader.error().message);
        return nullptr;
    }
    auto* viewer =
        new HistoryViewer(std::make_unique<HistoryViewSource>(std::move(*reader)), parent);
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    if (parent)
        viewer->setWindowFlag(Qt::Window);
    viewer->resize(933, 540);
    viewer->show();
    return viewer;
}

} // namespace hq::history
