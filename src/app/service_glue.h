// Joins the monitor window and the service window: the service window's commands go to the
// monitor window's SendSerialNumber, SendDispLdr and SendWdtTest; the monitor window shows the
// service window and feeds it every status record and serial number.
#pragma once

#include "monitor/schrank_form.h"
#include "service/intern_form.h"

#include <chrono>

namespace hq::app {

class ServiceGlue : public service::ServiceCommands, public monitor::ServiceWindow {
public:
    void attach(monitor::SchrankForm* monitor, service::InternForm* service) {
        monitor_ = monitor;
        service_ = service;
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
    QString SerialNumberCaption() const override {
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
        if (service_ != nullptr)
            service_->PlotStatusRecord(
                record,
                std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch())
                    .count());
    }
    void setSerialNumber(std::int32_t serialNumber) override {
        if (service_ != nullptr)
            service_->SetSerialNumber(serialNumber);
    }

    // Status records the monitor window has decoded so far.
    int statusRecords() const { return statusRecords_; }

private:
    int statusRecords_ = 0;
    monitor::SchrankForm* monitor_ = nullptr;
    service::InternForm* service_ = nullptr;
};

} // namespace hq::app
