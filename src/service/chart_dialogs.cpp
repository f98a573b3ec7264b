#include "service/chart_dialogs.h"

#include "service/chart_export.h"
#include "service/measurement_chart.h"
#include "ui_chart_editor_dialog.h"
#include "ui_chart_export_dialog.h"

#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>

namespace hq::service {

namespace {
enum Column { ColVisible, ColTitle, ColColour, ColWidth, ColStyle };

void showColour(QWidget* button, const QColor& c) {
    button->setStyleSheet(QStringLiteral("background-color: %1").arg(c.name()));
}
} // namespace

ChartEditorDialog::ChartEditorDialog(const ChartSettings& settings, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ChartEditorDialog>()), settings_(settings) {
    ui_->setupUi(this);
    QTableWidget* t = ui_->seriesTable;
    t->setRowCount(kSeriesCount);
    t->horizontalHeader()->setSectionResizeMode(ColTitle, QHeaderView::Stretch);
    for (int i = 0; i < kSeriesCount; ++i) {
        SeriesStyle& s = settings_.series[std::size_t(i)];
        auto* visible = new QTableWidgetItem;
        visible->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        visible->setCheckState(s.visible ? Qt::Checked : Qt::Unchecked);
        t->setItem(i, ColVisible, visible);
        t->setItem(i, ColTitle, new QTableWidgetItem(s.title));
        auto* colour = new QPushButton(t);
        showColour(colour, s.colour);
        connect(colour, &QPushButton::clicked, this,
                [this, i, colour] { pickColour(settings_.series[std::size_t(i)].colour, colour); });
        t->setCellWidget(i, ColColour, colour);
        auto* width = new QSpinBox(t);
        width->setRange(1, 20);
        width->setValue(s.penWidth);
        t->setCellWidget(i, ColWidth, width);
        auto* style = new QComboBox(t);
        style->addItems({tr("durchgezogen"), tr("gestrichelt"), tr("gepunktet"), tr("Strich-Punkt"),
                         tr("Strich-Punkt-Punkt")});
        style->setCurrentIndex(int(s.style));
        t->setCellWidget(i, ColStyle, style);
    }
    ui_->leftMin->setValue(settings_.left.min);
    ui_->leftMax->setValue(settings_.left.max);
    ui_->leftAuto->setChecked(settings_.left.automatic);
    ui_->leftGrid->setChecked(settings_.left.grid);
    ui_->bottomMin->setDateTime(
        QDateTime::fromMSecsSinceEpoch(qint64(settings_.bottom.min), Qt::LocalTime));
    ui_->bottomMax->setDateTime(
        QDateTime::fromMSecsSinceEpoch(qint64(settings_.bottom.max), Qt::LocalTime));
    ui_->bottomAuto->setChecked(settings_.bottom.automatic);
    ui_->bottomGrid->setChecked(settings_.bottom.grid);
    ui_->legendVisible->setChecked(settings_.legendVisible);
    showColour(ui_->backgroundFromButton, settings_.backgroundFrom);
    showColour(ui_->backgroundToButton, settings_.backgroundTo);
    showColour(ui_->plotAreaButton, settings_.plotArea);
    connect(ui_->backgroundFromButton, &QPushButton::clicked, this,
            [this] { pickColour(settings_.backgroundFrom, ui_->backgroundFromButton); });
    connect(ui_->backgroundToButton, &QPushButton::clicked, this,
            [this] { pickColour(settings_.backgroundTo, ui_->backgroundToButton); });
    connect(ui_->plotAreaButton, &QPushButton::clicked, this,
            [this] { pickColour(settings_.plotArea, ui_->plotAreaButton); });
}

ChartEditorDialog::~ChartEditorDialog() = default;

void ChartEditorDialog::pickColour(QColor& colour, QWidget* button) {
    const QColor c = QColorDialog::getColor(colour, this);
    if (c.isValid()) {
        colour = c;
        showColour(button, c);
    }
}

ChartSettings ChartEditorDialog::settings() const {
    ChartSettings s = settings_;
    const QTableWidget* t = ui_->seriesTable;
    for (int i = 0; i < kSeriesCount; ++i) {
        SeriesStyle& st = s.series[std::size_t(i)];
        st.visible = t->item(i, ColVisible)->checkState() == Qt::Checked;
        st.title = t->item(i, ColTitle)->text();
        st.penWidth = static_cast<QSpinBox*>(t->cellWidget(i, ColWidth))->value();
        st.style = LineStyle(static_cast<QComboBox*>(t->cellWidget(i, ColStyle))->currentIndex());
    }
    s.left.min = ui_->leftMin->value();
    s.left.max = ui_->leftMax->value();
    s.left.automatic = ui_->leftAuto->isChecked();
    s.left.grid = ui_->leftGrid->isChecked();
    s.bottom.min = double(ui_->bottomMin->dateTime().toMSecsSinceEpoch());
    s.bottom.max = double(ui_->bottomMax->dateTime().toMSecsSinceEpoch());
    s.bottom.automatic = ui_->bottomAuto->isChecked();
    s.bottom.grid = ui_->bottomGrid->isChecked();
    s.legendVisible = ui_->legendVisible->isChecked();
    return s;
}

ChartExportDialog::ChartExportDialog(MeasurementChart& chart, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ChartExportDialog>()), chart_(chart) {
    ui_->setupUi(this);
    ui_->widthSpin->setValue(std::max(chart.width(), 100));
    ui_->heightSpin->setValue(std::max(chart.height(), 100));
    connect(ui_->saveImageButton, &QPushButton::clicked, this, &ChartExportDialog::saveImage);
    connect(ui_->copyButton, &QPushButton::clicked, this, [this] {
        copyChartToClipboard(chart_, ui_->widthSpin->value(), ui_->heightSpin->value());
    });
    connect(ui_->csvAllButton, &QPushButton::clicked, this, [this] { saveCsv(false); });
    connect(ui_->csvVisibleButton, &QPushButton::clicked, this, [this] { saveCsv(true); });
}

ChartExportDialog::~ChartExportDialog() = default;

void ChartExportDialog::saveImage() {
    static const char* const kFilters[] = {"PNG (*.png)", "JPEG (*.jpg *.jpeg)", "BMP (*.bmp)",
                                           "PDF (*.pdf)"};
    static const char* const kSuffixes[] = {".png", ".jpg", ".bmp", ".pdf"};
    const int f = ui_->formatBox->currentIndex();
    QString path = QFileDialog::getSaveFileName(this, windowTitle(), QString(),
                                                QString::fromLatin1(kFilters[f]));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QLatin1String(kSuffixes[f]);
    const QString error = exportImage(chart_, path, ImageFormat(f), ui_->widthSpin->value(),
                                      ui_->heightSpin->value());
    if (!error.isEmpty())
        QMessageBox::critical(this, windowTitle(), error);
}

void ChartExportDialog::saveCsv(bool visibleOnly) {
    QString path =
        QFileDialog::getSaveFileName(this, windowTitle(), QString(), QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".csv");
    std::size_t skipped = 0;
    QString error;
    if (const auto& exporter = chart_.csvExporter())
        error = exporter(
            path, visibleOnly ? std::optional(std::pair(chart_.viewFromMs(), chart_.viewToMs()))
                              : std::nullopt);
    else
        error = visibleOnly ? exportCsv(chart_.store(), path, chart_.viewFromMs(),
                                        chart_.viewToMs(), &skipped)
                            : exportCsv(chart_.store(), path, &skipped);
    if (!error.isEmpty())
        QMessageBox::critical(this, windowTitle(), error);
    else if (skipped > 0)
        QMessageBox::information(this, windowTitle(), csvSkippedMessage(skipped));
}

bool runChartEditor(MeasurementChart& chart, QWidget* parent) {
    ChartEditorDialog dialog(chart.settings(), parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    chart.applySettings(dialog.settings());
    return true;
}

void runChartExport(MeasurementChart& chart, QWidget* parent) {
    ChartExportDialog dialog(chart, parent);
    dialog.exec();
}

} // namespace hq::service
