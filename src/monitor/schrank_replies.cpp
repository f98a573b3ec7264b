// SchrankForm: DeviceData, DecodeReply and the display steps that apply each decoded reply.
#include "monitor/schrank_form.h"

#include "cabinet/identity.h"

#include "ui_schrank_form.h"

#include <QDateTime>
#include <QLocale>
#include <QPalette>
#include <QScrollBar>

#include <cmath>
#include <variant>

namespace hq::monitor {

namespace {

QString fromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

void setLabelColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// The PC's time format without a time-zone part: the clock labels are narrow.
QString localTimeText(const QTime& time) {
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return QLocale::system().toString(time, format.trimmed());
}

} // namespace

void SchrankForm::DeviceData(HidDevice*, std::uint8_t, const std::uint8_t* data,
                             std::uint16_t size) {
    guarded([&] {
        if (data == nullptr)
            return;
        const std::size_t n = std::min<std::size_t>(size, protocol::kReplyReportLength);
        DecodeReply(std::span<const std::uint8_t>(data, n));
    });
}

void SchrankForm::DecodeReply(std::span<const std::uint8_t> report) {
    const protocol::DecodeResult result = decoder_.decode(report);
    if (result.ignored())
        return;
    applyDecodeResult(result);
}

void SchrankForm::applyDecodeResult(const protocol::DecodeResult& result) {
    // A configuration reply updates the settings before its pane line is written; every other
    // reply writes its lines first.
    if (const auto* config = std::get_if<protocol::ConfigRecord>(&result.record))
        showSettings(*config);

    QPlainTextEdit* pane = result.pane == protocol::Pane::UDPMemo ? ui_->UDPMemo : ui_->txtMessage;
    if (result.clearPane)
        pane->clear();
    for (const std::string& line : result.lines)
        pane->appendPlainText(fromUtf8(line));

    if (const auto* status = std::get_if<protocol::StatusRecord>(&result.record))
        showStatus(*status, result.timeStamp);
    else if (const auto* web = std::get_if<protocol::WebImageVersion>(&result.record))
        showWebImageVersion(*web);
    else if (const auto* clock = std::get_if<protocol::ClockRecord>(&result.record))
        showClock(*clock);

    if (result.followUp)
        SendCommand(*result.followUp);
}

void SchrankForm::showStatus(const protocol::StatusRecord& record,
                             std::chrono::system_clock::time_point time) {
    if (record.fehler != 0) {
        ui_->Label11->setText(QStringLiteral("Fehler: ") + QString::number(record.fehler));
        ui_->Label11->setVisible(true);
    } else {
        ui_->Label11->setVisible(false);
    }
    ui_->LEDDisplay2->setValue(record.humidityTop / 10.0);
    ui_->LEDDisplay4->setValue(record.humidityBottom / 10.0);
    ui_->IP_Label->setText(fromUtf8(protocol::dottedAddress(record.cabinetAddress)));
    if (serviceWindow_ != nullptr)
        serviceWindow_->PlotStatusRecord(record, time);
}

void SchrankForm::showSettings(const protocol::ConfigRecord& record) {
    ui_->SpinEdit1->setValue(record.regenHumidity / 10);
    ui_->SpinEdit2->setValue(record.reduction1Humidity / 10);
    ui_->SpinEdit3->setValue(record.reduction2Humidity / 10);
    ui_->SpinEdit4->setValue(record.doorAlarmTime / 60);
    ui_->SpinEdit5->setValue(record.restartDelay / 60);
    ui_->SpinEdit6->setValue(record.extraTime1 / 60);
    ui_->SpinEdit7->setValue(record.extraTime2 / 60);
    ui_->rueckluft->setChecked(record.showReturnAir);

    setLabelColor(ui_->Label35, Qt::black);
    ui_->Label35->setText(QStringLiteral("V.:") +
                          fromUtf8(cabinet::firmwareVersionText(record.firmwareVersion())));
    ui_->Label25->setText(QStringLiteral("N#") + QString::number(record.serialNumber));
    ui_->Label20->setText(QStringLiteral("MAC:") + fromUtf8(protocol::macText(record.macAddress)));

    if (serviceWindow_ != nullptr)
        serviceWindow_->setSerialNumber(record.serialNumber);

    ui_->rueckluftUeberw->setVisible(false);
    if (cabinet::returnAirMonitoringShown(record.firmwareMinor))
        ui_->rueckluftUeberw->setVisible(true);
    ui_->rueckluftUeberw->setChecked(record.returnAirMonitoringOn());
}

void SchrankForm::showWebImageVersion(const protocol::WebImageVersion& version) {
    if (!version.versionText)
        return;
    ui_->Label15->setText(QStringLiteral("MPFS: ") + fromUtf8(*version.versionText));
    const std::optional<bool> upToDate = version.atLeast(decoder_.firmwareVersion());
    if (!upToDate)
        return; // not a number: nothing to compare
    setLabelColor(ui_->Label15, *upToDate ? QColor(Qt::black) : QColor(Qt::red));
}

void SchrankForm::showClock(const protocol::ClockRecord& record) {
    ui_->Label27->setText(QString::fromStdString(cabinet::clockTimeText(record)));
    ui_->Label29->setText(QString::fromStdString(cabinet::clockDateText(record)));
    const auto now = options_.now ? options_.now() : std::chrono::system_clock::now();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
    ui_->Label26->setText(localTimeText(local.time()));
    ui_->Label28->setText(QLocale::system().toString(local.date(), QLocale::ShortFormat));
}

void SchrankForm::clearMessages() {
    ui_->txtMessage->clear();
}

void SchrankForm::addMessage(const QString& line) {
    ui_->txtMessage->appendPlainText(line);
}

} // namespace hq::monitor
