#include "service/intern_form.h"

#include "protocol/reply.h"
#include "service/chart_dialogs.h"
#include "service/chart_file.h"
#include "service/chart_viewer.h"
#include "service/measurement_chart.h"
#include "service/plot_series.h"
#include "ui_intern_form.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QScreen>

namespace hq::service {

InternForm::InternForm(ServiceCommands& commands, MailTransport& mail, QString helpdeskAddress,
                       QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::InternForm>()), commands_(commands), mail_(mail),
      helpdeskAddress_(std::move(helpdeskAddress)) {
    ui_->setupUi(this);
    ui_->Panel2->hide(); // the service panel is not shown by the application
    ui_->Button8->hide();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    connect(ui_->Button1, &QPushButton::clicked, this, &InternForm::Button1Click);
    connect(ui_->Button2, &QPushButton::clicked, this, &InternForm::Button2Click);
    connect(ui_->Button7, &QPushButton::clicked, this, &InternForm::Button7Click);
    connect(ui_->Button6, &QPushButton::clicked, this, &InternForm::Button6Click);
    connect(ui_->Button4, &QPushButton::clicked, this, &InternForm::Button4Click);
    connect(ui_->Button5, &QPushButton::clicked, this, &InternForm::Button5Click);
    connect(ui_->Button3, &QPushButton::clicked, this, &InternForm::Button3Click);
    connect(ui_->Button15, &QPushButton::clicked, this, &InternForm::Button15Click);
    connect(ui_->Button9, &QPushButton::clicked, this, &InternForm::Button9Click);
    connect(ui_->Button8, &QPushButton::clicked, this, &InternForm::Button8Click);
    connect(ui_->ButtonOpenChart, &QPushButton::clicked, this, &InternForm::openChartClick);
    connect(ui_->ButtonVerlauf, &QPushButton::clicked, this, &InternForm::historyRequested);
    connect(ui_->CheckBoxLegend, &QCheckBox::clicked, this, &InternForm::CheckBoxLegendClick);
    connect(ui_->CheckBoxHorizontal, &QCheckBox::clicked, this,
            &InternForm::CheckBoxHorizontalClick);
    connect(ui_->CheckBoxBottom, &QCheckBox::clicked, this, &InternForm::CheckBoxBottomClick);
}

InternForm::~InternForm() = default;

MeasurementChart* InternForm::chart() const {
    return ui_->Chart1;
}

void InternForm::PlotStatusRecord(const protocol::StatusRecord& record, const QDateTime& time) {
    PlotStatusRecord(record, time.toMSecsSinceEpoch());
}

void InternForm::PlotStatusRecord(const protocol::StatusRecord& record, qint64 utcMs) {
    if (record.fehler != 0 && !ui_->Chart1->seriesVisible(kErrorSeries))
        ui_->Chart1->setSeriesVisible(kErrorSeries, true);
    ui_->Chart1->appendRecord(utcMs, sampleFromStatus(record));
}

void InternForm::setSerialNumber(std::int32_t serialNumber) {
    ui_->SpinEdit1->setValue(serialNumber / 100);
    ui_->SpinEdit2->setValue(serialNumber % 100);
}

std::int32_t InternForm::serialNumberToSend() const {
    const QString text = QString::number(ui_->SpinEdit1->value()) +
                         QStringLiteral("%1").arg(ui_->SpinEdit2->value(), 2, 10, QLatin1Char('0'));
    return std::int32_t(text.toLongLong());
}

void InternForm::Button1Click() {
    ui_->Chart1->setLeftRange(0, 20);
}
void InternForm::Button2Click() {
    ui_->Chart1->setLeftRange(0, 300);
}
void InternForm::Button7Click() {
    ui_->Chart1->autosize();
}

void InternForm::Button6Click() {
    if (runChartEditor(*ui_->Chart1, this))
        syncChecks();
}

void InternForm::Button4Click() {
    runChartExport(*ui_->Chart1, this);
}

QString InternForm::saveChart(const QString& chosen) {
    return saveChartFile(chartFileName(chosen), ui_->Chart1->settings(), ui_->Chart1->store());
}

void InternForm::Button5Click() {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QStringLiteral("Chart files (*.hqchart)"));
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString error = saveChart(dialog.selectedFiles().constFirst());
    if (!error.isEmpty())
        QMessageBox::critical(this, windowTitle(), error);
}

ChartMailResult InternForm::mailChart() {
    ChartMailResult r;
    r.tempFile = MakeTempFileName();
    if (r.tempFile.isEmpty()) {
        r.fileError = QStringLiteral("Cannot create a temporary file.");
        return r;
    }
    r.fileError = saveChartFile(r.tempFile, ui_->Chart1->settings(), ui_->Chart1->store());
    if (!r.fileError.isEmpty())
        return r;
    const QString body = QString::fromUtf8(kHelpdeskBodyStart) + commands_.serialNumberCaption();
    r.outcome = SendChartMail(mail_, r.tempFile, QString::fromUtf8(kHelpdeskSubject), body,
                              helpdeskAddress_, QString::fromUtf8(kHelpdeskName));
    return r;
}

void InternForm::Button3Click() {
    const ChartMailResult r = mailChart();
    if (!r.fileError.isEmpty()) {
        QMessageBox::critical(this, windowTitle(), r.fileError);
        return;
    }
    if (!r.outcome.ok()) {
        QApplication::beep();
        QMessageBox::critical(this, windowTitle(), mailErrorMessage(r.outcome.error));
    } else if (!r.outcome.note.isEmpty()) {
        QMessageBox::information(this, windowTitle(), r.outcome.note);
    }
}

void InternForm::Button15Click() {
    commands_.SendSerialNumber(serialNumberToSend());
}
void InternForm::Button9Click() {
    commands_.SendDispLdr();
}
void InternForm::Button8Click() {
    commands_.SendWdtTest();
}

void InternForm::CheckBoxLegendClick() {
    ui_->Chart1->setLegendVisible(ui_->CheckBoxLegend->isChecked());
}
void InternForm::CheckBoxHorizontalClick() {
    ui_->Chart1->setHorizontalGridVisible(ui_->CheckBoxHorizontal->isChecked());
}
void InternForm::CheckBoxBottomClick() {
    ui_->Chart1->setVerticalGridVisible(ui_->CheckBoxBottom->isChecked());
}

void InternForm::openChartClick() {
    const QString path = QFileDialog::getOpenFileName(this, windowTitle(), QString(),
                                                      QStringLiteral("Chart files (*.hqchart)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!openChartWindow(path, nullptr, &error))
        QMessageBox::critical(this, windowTitle(), error);
}

void InternForm::syncChecks() {
    const ChartSettings s = ui_->Chart1->settings();
    ui_->CheckBoxLegend->setChecked(s.legendVisible);
    ui_->CheckBoxHorizontal->setChecked(s.left.grid);
    ui_->CheckBoxBottom->setChecked(s.bottom.grid);
}

} // namespace hq::service
