// Helpers for the HID link tests: devices on the simulated bus and an event log.
#pragma once

#include "hid/hid_controller.h"
#include "platform/hid_simulated.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QTest>

#include <functional>
#include <memory>

namespace hqtest {

using hq::platform::FixedHidFunction;
using hq::platform::SimulatedHidPlatform;

inline std::shared_ptr<FixedHidFunction>
makeFunction(std::uint16_t vendor, std::uint16_t product, std::u16string productText = u"Device",
             std::optional<std::u16string> serial = u"SN0001", std::uint16_t inputLength = 65,
             std::uint16_t outputLength = 65) {
    FixedHidFunction::Identity id;
    id.attributes.vendorId = vendor;
    id.attributes.productId = product;
    id.attributes.versionNumber = 0x0100;
    id.caps.inputReportByteLength = inputLength;
    id.caps.outputReportByteLength = outputLength;
    id.product = std::move(productText);
    id.serial = std::move(serial);
    return std::make_shared<FixedHidFunction>(std::move(id));
}

// Plug options for an interface path, adjusted by f.
inline hq::platform::SimulatedPlugOptions
at(std::string path, std::function<void(hq::platform::SimulatedPlugOptions&)> f = {}) {
    hq::platform::SimulatedPlugOptions o;
    o.interfacePath = std::move(path);
    if (f)
        f(o);
    return o;
}

// Runs the event loop until pred holds or the time is up.
template <typename Pred> bool waitFor(Pred pred, int timeoutMs = 3000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Lets queued notifications (and the controller's start-up scan) run.
inline void settle() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

inline QString pathOf(hq::HidDevice* dev) {
    return QString::fromStdString(dev->pnpRecord().InterfacePath);
}

} // namespace hqtest
