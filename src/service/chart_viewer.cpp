#include "service/chart_viewer.h"

#include "service/chart_dialogs.h"
#include "service/chart_file.h"
#include "service/measurement_chart.h"
#include "ui_chart_viewer.h"

#include <QFileInfo>

namespace hq::service {

ChartViewer::ChartViewer(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::ChartViewer>()) {
    ui_->setupUi(this);
    MeasurementChart* c = ui_->Chart1;
    connect(ui_->Button1, &QPushButton::clicked, c, [c] { c->setLeftRange(0, 20); });
    connect(ui_->Button2, &QPushButton::clicked, c, [c] { c->setLeftRange(0, 300); });
    connect(ui_->Button7, &QPushButton::clicked, c, &MeasurementChart::autosize);
    connect(ui_->Button6, &QPushButton::clicked, this, [this, c] {
        if (runChartEditor(*c, this)) {
            const ChartSettings s = c->settings();
            ui_->CheckBoxLegend->setChecked(s.legendVisible);
            ui_->CheckBoxHorizontal->setChecked(s.left.grid);
            ui_->CheckBoxBottom->setChecked(s.bottom.grid);
        }
    });
    connect(ui_->Button4, &QPushButton::clicked, this, [this, c] { runChartExport(*c, this); });
    connect(ui_->CheckBoxLegend, &QCheckBox::toggled, c, &MeasurementChart::setLegendVisible);
    connect(ui_->CheckBoxHorizontal, &QCheckBox::toggled, c,
            &MeasurementChart::setHorizontalGridVisible);
    connect(ui_->CheckBoxBottom, &QCheckBox::toggled, c, &MeasurementChart::setVerticalGridVisible);
}

ChartViewer::~ChartViewer() = default;

MeasurementChart* ChartViewer::chart() const {
    return ui_->Chart1;
}

QString ChartViewer::load(const QString& path) {
    LoadedChart loaded = loadChartFile(path);
    if (!loaded.ok())
        return loaded.error;
    const ChartSettings s = loaded.settings;
    ui_->Chart1->setChart(std::move(loaded.store), s);
    ui_->CheckBoxLegend->setChecked(s.legendVisible);
    ui_->CheckBoxHorizontal->setChecked(s.left.grid);
    ui_->CheckBoxBottom->setChecked(s.bottom.grid);
    setWindowTitle(QFileInfo(path).fileName());
    return {};
}

ChartViewer* openChartWindow(const QString& path, QWidget* parent, QString* error) {
    auto* viewer = new ChartViewer(parent);
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    if (parent)
        viewer->setWindowFlag(Qt::Window);
    const QString e = viewer->load(path);
    if (!e.isEmpty()) {
        delete viewer;
        if (error)
            *error = e;
        return nullptr;
    }
    viewer->resize(933, 540);
    viewer->show();
    return viewer;
}

} // namespace hq::service
