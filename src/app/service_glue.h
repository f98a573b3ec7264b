// Joins the monitor window and the service window: the service window's commands go to the
// monitor window's SendSerialNumber, SendDispLdr and SendWdtTest; the monitor window shows the
// service window and feeds it every status record and serial number. Every status record of the
// claimed cabinet also goes into its stored history (when a recorder is attached).
#pragma once

#include "hid/hid_device.h"
#include "history/history_recorder.h"
#include "monitor/schrank_form.h"
#include "service/intern_form.h"

#include <chrono>

namespace hq::app {

class ServiceGlue : public service::ServiceCommands, public monitor::ServiceWindow {
public:
    void attach(monitor::SchrankForm* monitor, service::InternForm* service,
                history::HistoryRecorder* recorder = nullptr) {
        monitor_ = monitor;
        service_ = service;
        recorder_ = recorder;
    }

    // service::ServiceCommands
    void SendSerialNumber(std::int32_t serialNumber) override {
        if (monitor_ != nullptr)
            monitor_->SendSerialNumber(serialNumber);
    }
    void SendDispLdr() override {
        if (monitor_ != nullptr)
            monitor_->SendDispLdr();
    }
    void SendWdtTest() override {
        if (monitor_ != nullptr)
            monitor_->SendWdtTest();
    }
    QString serialNumberCaption() const override {
        return monitor_ != nullptr ? monitor_->serialNumberCaption() : QString();
    }

    // monitor::ServiceWindow
    void showServiceWindow() override {
        if (service_ == nullptr)
            return;
        service_->show();
        service_->raise();
        service_->activateWindow();
    }
    void PlotStatusRecord(const protocol::StatusRecord& record,
                          std::chrono::system_clock::time_point time) override {
        ++statusRecords_;
        const std::int64_t ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
        if (recorder_ != nullptr) {
            followCabinet();
            recorder_->append(ms, record);
        }
        if (service_ != nullptr)
            service_->PlotStatusRecord(record, ms);
    }
    void setSerialNumber(std::int32_t serialNumber) override {
        if (recorder_ != nullptr) {
            followCabinet();
            recorder_->setSerialNumber(serialNumber);
        }
        if (service_ != nullptr)
            service_->setSerialNumber(serialNumber);
    }

    // Status records the monitor window has decoded so far.
    int statusRecords() const { return statusRecords_; }

private:
    int statusRecords_ = 0;
    // Another device claimed (unplugged and plugged, reset): a new cabinet for the recorder,
    // whose records are held until its serial number is known.
    void followCabinet() {
        HidDevice* device = monitor_ != nullptr ? monitor_->currentDevice() : nullptr;
        if (device == cabinet_)
            return;
        cabinet_ = device;
        recorder_->beginCabinet(device != nullptr ? device->QuerySerialText() : QString());
    }

    monitor::SchrankForm* monitor_ = nullptr;
    service::InternForm* service_ = nullptr;
    history::HistoryRecorder* recorder_ = nullptr;
    HidDevice* cabinet_ = nullptr;
};

} // namespace hq::app
