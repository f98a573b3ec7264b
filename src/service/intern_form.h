// The service window: the measurement chart with its controls, the hidden service panel, and
// saving, exporting and mailing the chart.
#pragma once

#include "service/chart_mail.h"

#include <QDateTime>
#include <QWidget>

#include <cstdint>
#include <memory>

namespace Ui {
class InternForm;
}
namespace hq::protocol {
struct StatusRecord;
}

namespace hq::service {

class MeasurementChart;

// What the service window needs of the monitor window.
class ServiceCommands {
public:
    virtual ~ServiceCommands() = default;
    virtual void SendSerialNumber(std::int32_t serialNumber) = 0; // frame "x"
    virtual void SendDispLdr() = 0;                               // frame "w"
    virtual void SendWdtTest() = 0;                               // frame 0xFD
    // Caption of the serial-number label (`Label25`), e.g. "N#12345678", for the mail body.
    virtual QString serialNumberCaption() const = 0;
};

struct ChartMailResult {
    QString tempFile;  // the temporary chart file (left behind on purpose)
    QString fileError; // the chart file could not be written: no mail was sent
    MailOutcome outcome;
};

class InternForm : public QWidget {
    Q_OBJECT
public:
    InternForm(ServiceCommands& commands, MailTransport& mail, QString helpdeskAddress,
               QWidget* parent = nullptr);
    ~InternForm() override;

    // One point per series for a decoded status record; `time` is when decoding began.
    void PlotStatusRecord(const protocol::StatusRecord& record, const QDateTime& time);
    void PlotStatusRecord(const protocol::StatusRecord& record, qint64 utcMs);
    // From every ConfigRecord: SpinEdit1 := serial div 100, SpinEdit2 := serial mod 100
    // (truncating; values outside a spin edit's range show its nearest limit).
    void setSerialNumber(std::int32_t serialNumber);

    MeasurementChart* chart() const;

    // The work of the buttons without their dialogs and boxes.
    std::int32_t serialNumberToSend() const;  // "N Senden": SpinEdit1 then SpinEdit2, 2 digits
    QString saveChart(const QString& chosen); // "KOV Save" after the dialog; error text
    ChartMailResult mailChart();              // "KOV Mail" up to the error box

public slots:
    void Button1Click();  // "0..20"
    void Button2Click();  // "0..300"
    void Button7Click();  // "Autosize"
    void Button6Click();  // "Exp Edit"
    void Button4Click();  // "Speichern"
    void Button5Click();  // "KOV Save"
    void Button3Click();  // "KOV Mail"
    void Button15Click(); // "N Senden"
    void Button9Click();  // "Disp LDR"
    void Button8Click();  // "WDT Testen"
    void CheckBoxLegendClick();
    void CheckBoxHorizontalClick();
    void CheckBoxBottomClick();
    void openChartClick(); // opens a chart file in its own read-only window

signals:
    // "Verlauf": the stored history of the cabinet is to be shown (the program opens the viewer).
    void historyRequested();

private:
    void syncChecks();
    std::unique_ptr<Ui::InternForm> ui_;
    ServiceCommands& commands_;
    MailTransport& mail_;
    QString helpdeskAddress_;
};

} // namespace hq::service
