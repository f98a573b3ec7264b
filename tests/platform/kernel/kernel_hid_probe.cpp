// Runs inside a small Linux system under qemu (see run_kernel_test.sh): makes cabinets real
// kernel HID devices through uhid and drives the Linux backend, the controller and the read
// thread against them, then hq3746ctl as a separate process and the monitor window in a process
// of its own. Prints one CHECK line per check and a final result line. Nothing waits before a
// first command: the cabinets answer as fast as the kernel lets them.
//
//   kernel_hid_probe HQ3746CTL            the whole run (as root)
//   kernel_hid_probe --as UID GID GROUPS  one scan as another user (GROUPS: comma list or -)
//                    EXPECT_RW SERIAL     expecting read-write access or not
//   kernel_hid_probe --monitor            the monitor window against the attached cabinet
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "kernel_cabinet.h"
#include "kernel_check.h"
#include "kernel_checks.h"
#include "platform/hid_native.h"
#include "protocol/command_frame.h"
#include "protocol/decoder.h"
#include "protocol/output_report.h"
#include "uhid_device.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

using namespace hq;
using kerneltest::Checker;
using kerneltest::KernelCabinet;
using kerneltest::UhidDevice;
using kerneltest::UhidIdentity;
using kerneltest::waitFor;

namespace {

constexpr std::uint16_t kCabinetVendor = 0x04D8;
constexpr std::uint16_t kCabinetProduct = 0x003F;

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

bool sendCommand(HidDevice& dev, const protocol::CommandFrame& frame) {
    const auto caps = dev.ReadCaps();
    const auto framed = protocol::frameOutputReport(frame, caps.outputReportByteLength);
    if (!framed.ok())
        return false;
    std::uint32_t written = 0;
    return dev.SendReport(framed.bytes, written) && written == framed.bytes.size();
}

// The hidraw node of a device, found through its controller entry.
std::string devnodeOf(const HidDevice& dev) {
    return dev.pnpRecord().properties.physicalDeviceObjectName;
}

// One start-up scan as another user: is the cabinet listed, with which access.
int runAs(int argc, char** argv) {
    if (argc < 8)
        return 2;
    const uid_t uid = static_cast<uid_t>(std::stoul(argv[2]));
    const gid_t gid = static_cast<gid_t>(std::stoul(argv[3]));
    std::vector<gid_t> groups;
    if (std::strcmp(argv[4], "-") != 0)
        groups.push_back(static_cast<gid_t>(std::stoul(argv[4])));
    const bool expectRw = std::strcmp(argv[5], "1") == 0;
    const std::string serial = argv[6];
    const std::string label = argv[7];
    Checker check;
    if (!check(::setgroups(groups.size(), groups.data()) == 0 && ::setgid(gid) == 0 &&
                   ::setuid(uid) == 0 && ::geteuid() == uid,
               label + ": privileges dropped", std::strerror(errno)))
        return 1;

    int qargc = 1;
    QCoreApplication app(qargc, argv);
    auto platform = platform::createNativeHidPlatform();
    HidDeviceController controller(*platform);
    bool scanned = false;
    std::unique_ptr<HidDevice> claimed;
    std::optional<platform::HidCaps> caps;
    QString product, serialText;
    HidDevice* found = nullptr;
    std::vector<std::uint8_t> reply;
    controller.setOnArrival([&](HidDevice* d) {
        if (d->hidAttributes().vendorId != kCabinetVendor ||
            d->hidAttributes().productId != kCabinetProduct)
            return;
        found = d;
        product = d->QueryProductText();
        serialText = d->QuerySerialText();
        caps = d->ReadCaps();
        if (d->canReadWrite() && controller.ClaimByIds(claimed, kCabinetVendor, kCabinetProduct))
            claimed->SetReportHandler(
                [&](HidDevice*, std::uint8_t, const std::uint8_t* data, std::uint16_t size) {
                    if (reply.empty())
                        reply.assign(data, data + size);
                });
    });
    controller.setOnDeviceChange([&](HidDeviceController*) { scanned = true; });
    check(waitFor([&] { return scanned; }), label + ": start-up scan ran");
    if (!check(found != nullptr, label + ": cabinet listed without opening its node"))
        return 1;
    check(found->canReadWrite() == expectRw, label + ": read-write access as the rule grants",
          found->canReadWrite() ? "granted" : "refused: " + found->openErrorText());
    if (!expectRw)
        check(found->openError() == EACCES, label + ": error code kept for the window",
              std::to_string(found->openError()) + " " + found->openErrorText());
    check(product == "HQ3746" && serialText.toStdString() == serial,
          label + ": product and serial strings",
          product.toStdString() + " / " + serialText.toStdString());
    check(caps && caps->inputReportByteLength == 65 && caps->outputReportByteLength == 65,
          label + ": report lengths from the descriptor",
          caps ? std::to_string(caps->inputReportByteLength) + "/" +
                     std::to_string(caps->outputReportByteLength)
               : "none");
    if (expectRw) {
        check(claimed != nullptr && sendCommand(*claimed, protocol::statusRequest()),
              label + ": \"v\" written");
        const bool replied = waitFor([&] { return !reply.empty(); });
        check(replied && reply.size() == 64 && reply[0] == 'v', label + ": status reply read",
              std::to_string(reply.size()) + " bytes");
    }
    claimed.reset();
    return check.failures() == 0 ? 0 : 1;
}

int runAll(int argc, char** argv) {
    Checker check;
    QCoreApplication app(argc, argv);
    const QString ctl = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    KernelCabinet cabinet({});
    std::string error;
    if (!check(cabinet.plug(error), "uhid cabinet created", error))
        return 1;
    // Lets udev run the packaged rule on the new node first: the node-permission check and the
    // scans as other users below read the mode and group that rule sets, which the kernel's
    // node does not have until udev has handled the device. It is no wait before a command:
    // nothing is claimed or written until the controller further down, whose arrival handler
    // claims the cabinet and writes the first command with nothing in between.
    QProcess::execute("udevadm", {"settle", "--timeout=20"});

    // The node as the shipped udev rule leaves it, and what other users get.
    const group* plugdev = ::getgrnam("plugdev");
    check(plugdev != nullptr, "group plugdev known");
    const gid_t plugdevGid = plugdev ? plugdev->gr_gid : 0;
    auto platform = platform::createNativeHidPlatform();
    check(platform->available(), "udev bound");
    std::string node;
    for (const auto& info : platform->enumerate()) {
        auto h = platform->openControl(info.interfacePath, platform::HidAccess::QueryOnly);
        platform::HidAttributes a;
        if (h && h->getAttributes(a) && a.vendorId == kCabinetVendor)
            node = info.properties.physicalDeviceObjectName;
    }
    struct stat st {};
    const bool statted = !node.empty() && ::stat(node.c_str(), &st) == 0;
    check(statted && (st.st_mode & 0777) == 0660 && st.st_gid == plugdevGid,
          "node mode 0660, group plugdev (packaged rule)",
          node + " mode " + std::to_string((st.st_mode >> 6) & 7) +
              std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) + " gid " +
              std::to_string(st.st_gid));
    const QString self = QCoreApplication::applicationFilePath();
    for (const auto& [groups, rw, label] :
         {std::tuple{std::string("-"), "0", "nobody"},
          std::tuple{std::to_string(plugdevGid), "1", "nobody+plugdev"}}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(self, {"--as", "65534", "65534", QString::fromStdString(groups), rw,
                           QString::fromStdString(cabinet.behaviour().usbSerial), label});
        check(child.waitForFinished(60000) && child.exitCode() == 0,
              std::string(label) + ": scan as another user passed");
    }

    // Start-up with the cabinet present; the arrival handler claims it as the monitor does and
    // writes "v" at once, before the event loop has run again.
    HidDeviceController controller(*platform);
    int changes = 0, removals = 0, unplugs = 0, readErrors = 0;
    std::vector<HidDevice*> arrivals;
    std::unique_ptr<HidDevice> claimed;
    std::uint64_t claimedInst = 0;
    std::vector<std::vector<std::uint8_t>> reports;
    bool wrongThread = false;
    protocol::ReplyDecoder decoder;
    std::vector<protocol::DecodeResult> decoded;
    QString product, serial;
    bool canRw = false, firstWritten = false;

    const HidDataEvent onReport = [&](HidDevice* dev, std::uint8_t id, const std::uint8_t* data,
                                      std::uint16_t size) {
        wrongThread |= QThread::currentThread() != app.thread();
        std::vector<std::uint8_t> r{id};
        r.insert(r.end(), data, data + size);
        reports.push_back(r);
        auto result = decoder.decode({data, size});
        if (result.followUp)
            sendCommand(*dev, *result.followUp);
        decoded.push_back(std::move(result));
    };
    const auto claimCabinet = [&](HidDevice* d) {
        if (d->hidAttributes().vendorId != kCabinetVendor ||
            d->hidAttributes().productId != kCabinetProduct || claimed)
            return;
        serial = d->QuerySerialText();
        product = d->QueryProductText();
        canRw = d->canReadWrite();
        if (canRw && controller.ClaimByIds(claimed, kCabinetVendor, kCabinetProduct)) {
            claimedInst = claimed->pnpRecord().DevInst;
            claimed->setUnplugHandler([&](HidDevice*) { ++unplugs; });
            claimed->setReadErrorHandler([&](HidDevice*, std::uint32_t) { ++readErrors; });
            claimed->SetReportHandler(onReport);
            firstWritten = sendCommand(*claimed, protocol::statusRequest());
        }
    };
    cabinet.clearReceived();
    controller.setOnArrival([&](HidDevice* d) {
        arrivals.push_back(d);
        claimCabinet(d);
    });
    bool readerAtRemoval = false;
    qint64 destroyMs = -1;
    controller.setOnRemoval([&](HidDevice* d) {
        ++removals;
        if (claimed && d == claimed.get()) {
            readerAtRemoval = d->reader() != nullptr;
            QElapsedTimer t;
            t.start();
            claimed.reset(); // as the monitor does: destroying it stops its read thread
            destroyMs = t.elapsed();
        }
    });
    controller.setOnDeviceChange([&](HidDeviceController*) { ++changes; });

    check(waitFor([&] { return changes >= 1; }), "start-up scan ran");
    check(claimed != nullptr, "cabinet arrived and was claimed",
          std::to_string(arrivals.size()) + " arrival(s)");
    if (!claimed)
        return 1;
    const auto& attrs = claimed->hidAttributes();
    check(attrs.vendorId == kCabinetVendor && attrs.productId == kCabinetProduct,
          "attributes from sysfs",
          hex(attrs.vendorId) + ":" + hex(attrs.productId) + " version " +
              hex(attrs.versionNumber));
    check(product == "HQ3746", "product string", product.toStdString());
    check(serial.toStdString() == cabinet.behaviour().usbSerial,
          "serial string accepted without a language-ID list", serial.toStdString());
    check(canRw, "read-write access as root");
    const auto caps = claimed->ReadCaps();
    check(caps.inputReportByteLength == 65 && caps.outputReportByteLength == 65,
          "report lengths 65/65 (report-ID byte counted)",
          std::to_string(caps.inputReportByteLength) + "/" +
              std::to_string(caps.outputReportByteLength));
    check(claimed->reader() != nullptr, "read thread running");
    const std::string firstNode = devnodeOf(*claimed);
    const std::uint64_t firstInst = claimedInst;
    const std::string firstPath = claimed->pnpRecord().InterfacePath;

    // "v" written in the arrival handler, answered at once: one status record through the
    // kernel and back.
    check(firstWritten, "\"v\" written right after the claim");
    check(waitFor([&] { return reports.size() >= 1; }), "its answer delivered, not lost");
    if (!reports.empty()) {
        const auto& r = reports.front();
        const auto received = cabinet.receivedReports();
        const auto sent = cabinet.statusReport();
        check(!received.empty() && received[0].size() == 65 && received[0][0] == 0 &&
                  received[0][1] == 'v',
              "output report arrived as written (report ID 0, \"v\", 65 bytes)",
              received.empty() ? "none" : std::to_string(received[0].size()) + " bytes");
        check(r.size() == 65 && r[0] == 0 && r[1] == 'v' &&
                  std::equal(sent.begin() + 5, sent.end(), r.begin() + 6),
              "input report: 0x00 put in front, 64 data bytes unchanged",
              std::to_string(r.size()) + " bytes");
        const auto* status = std::get_if<protocol::StatusRecord>(&decoded.front().record);
        check(status && status->humidityTop == 453 && status->humidityBottom == 387 &&
                  status->temperatureBottom == -100 && status->fehler == 0 && status->doorOpen(),
              "StatusRecord decoded",
              status ? "top " + std::to_string(status->humidityTop) + ", bottom " +
                           std::to_string(status->humidityBottom)
                     : "not a status record");
    }
    check(!wrongThread, "report handler ran on the main thread");

    // "@": configuration, and the decoder's follow-up "u" with the web image version.
    cabinet.clearReceived();
    check(sendCommand(*claimed, protocol::configRequest()), "\"@\" written");
    const bool answered = waitFor([&] { return decoded.size() >= 3; });
    check(answered, "\"@\" answered and followed by \"u\"",
          std::to_string(decoded.size()) + " replies");
    if (decoded.size() >= 3) {
        const auto* config = std::get_if<protocol::ConfigRecord>(&decoded[1].record);
        const auto* web = std::get_if<protocol::WebImageVersion>(&decoded[2].record);
        check(config && config->serialNumber == 12345678 &&
                  config->firmwareVersion().thousandths() == 1003,
              "ConfigRecord decoded",
              config ? "serial " + std::to_string(config->serialNumber) : "missing");
        check(cabinet.received() == "@u", "cabinet received @, u", cabinet.received());
        check(web && web->versionText == std::optional<std::string>("1.003"),
              "WebImageVersion decoded", web && web->versionText ? *web->versionText : "missing");
    }

    // Unplug while the read thread waits in a read.
    QThread::msleep(300);
    const auto reportsBefore = reports.size();
    const HidDevice* gone = claimed.get();
    QElapsedTimer unplugTimer;
    unplugTimer.start();
    cabinet.unplug();
    const bool removed = waitFor([&] { return removals >= 1; });
    check(removed, "removal event after UHID_DESTROY",
          std::to_string(unplugTimer.elapsed()) + " ms");
    check(unplugs == 1, "unplug handler called once", std::to_string(unplugs));
    check(claimed == nullptr && readerAtRemoval,
          "claimed device with its running read thread destroyed in the removal handler",
          "thread stopped in " + std::to_string(destroyMs) + " ms");
    check(reports.size() == reportsBefore, "outstanding read ended without data");
    bool listed = false;
    for (const auto* d : controller.devices())
        listed |= d == gone || d->pnpRecord().DevInst == claimedInst;
    check(!listed, "entry left the controller's list",
          std::to_string(readErrors) + " read error(s) reported before the scan");

    // Replug: a new device instance, possibly on the same node; "v" again at once.
    const auto arrivalsBefore = arrivals.size();
    const auto reportsBeforeReplug = reports.size();
    check(cabinet.plug(error), "cabinet plugged in again", error);
    const bool reclaimed = waitFor([&] { return claimed != nullptr; });
    check(reclaimed && arrivals.size() == arrivalsBefore + 1, "one new arrival, claimed again",
          std::to_string(arrivals.size() - arrivalsBefore) + " arrival(s)");
    if (claimed) {
        // The old interface path names the old device: it must not open the new one, even
        // where the new one got the same /dev node.
        const auto stale = platform->openControl(firstPath, platform::HidAccess::ReadWrite);
        const auto staleError = platform->lastError();
        check(!stale && staleError == ENODEV, "old interface path no longer opens",
              firstPath + " -> " + platform->errorText(staleError));
        check(claimed->pnpRecord().DevInst != firstInst, "new device-instance identity",
              devnodeOf(*claimed) + (devnodeOf(*claimed) == firstNode ? " (same node)" : ""));
        check(waitFor([&] { return reports.size() > reportsBeforeReplug; }) &&
                  std::holds_alternative<protocol::StatusRecord>(decoded.back().record),
              "status round trip right after the replug");
    }

    // A second HID device with other IDs: listed, but not claimed and never written to.
    UhidDevice other;
    UhidIdentity otherId;
    otherId.name = "Other HID device";
    otherId.uniq = "X1";
    otherId.vendor = 0x1234;
    otherId.product = 0x5678;
    otherId.descriptor = kerneltest::vendorDescriptor64();
    const auto arrivalsBeforeOther = arrivals.size();
    check(other.create(otherId, {}, error), "second device plugged in", error);
    check(waitFor([&] { return arrivals.size() > arrivalsBeforeOther; }), "second device arrived");
    HidDevice* otherDev = arrivals.back();
    check(otherDev->hidAttributes().vendorId == 0x1234 && !otherDev->claimed(),
          "second device left free (other IDs)", hex(otherDev->hidAttributes().vendorId));
    if (claimed) {
        const auto n = reports.size();
        check(sendCommand(*claimed, protocol::statusRequest()) &&
                  waitFor([&] { return reports.size() > n; }) && other.outputReports() == 0,
              "cabinet still answers; nothing written to the other device");
    }

    // Removal of a free device, then of the claimed cabinet.
    const int removalsBefore = removals;
    other.destroy();
    check(waitFor([&] { return removals > removalsBefore; }), "free device removed");
    cabinet.unplug();
    check(waitFor([&] { return claimed == nullptr; }), "cabinet removed again");
    check(std::none_of(controller.devices().begin(), controller.devices().end(),
                       [](const HidDevice* d) {
                           return d->hidAttributes().vendorId == kCabinetVendor ||
                                  d->hidAttributes().vendorId == 0x1234;
                       }),
          "no test device left in the list");
    controller.setOnArrival(nullptr);
    controller.setOnRemoval(nullptr);

    // The command-line tool as a separate process.
    if (check(!ctl.isEmpty(), "hq3746ctl given"))
        kerneltest::runCliChecks(check, ctl);

    // The monitor window in a process of its own, offscreen.
    {
        KernelCabinet monitored({});
        if (check(monitored.plug(error), "cabinet for the monitor window", error)) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("QT_QPA_PLATFORM", "offscreen");
            child.setProcessEnvironment(env);
            child.start(self, {"--monitor"});
            check(child.waitForFinished(60000) && child.exitCode() == 0,
                  "monitor window checks passed");
            const std::string codes = monitored.received();
            check(codes.rfind("@uv", 0) == 0, "monitor: polled \"@\" (with \"u\"), then \"v\"",
                  codes);
        }
    }

    // Without udevd (containers, minimal systems) hotplug follows the kernel's own events.
    QProcess::execute("udevadm", {"control", "--exit"});
    const bool udevdGone =
        waitFor([] { return QProcess::execute("pidof", {"systemd-udevd"}) != 0; }, 5000);
    check(udevdGone, "udevd stopped");
    if (udevdGone) {
        auto bare = platform::createNativeHidPlatform();
        HidDeviceController bareController(*bare);
        int bareChanges = 0;
        std::vector<std::uint16_t> bareArrivals;
        int bareRemovals = 0;
        bareController.setOnArrival(
            [&](HidDevice* d) { bareArrivals.push_back(d->hidAttributes().vendorId); });
        bareController.setOnRemoval([&](HidDevice*) { ++bareRemovals; });
        bareController.setOnDeviceChange([&](HidDeviceController*) { ++bareChanges; });
        waitFor([&] { return bareChanges >= 1; });
        KernelCabinet plain({});
        check(plain.plug(error), "cabinet plugged in without udevd", error);
        const bool arrived = waitFor([&] { return !bareArrivals.empty(); });
        check(arrived && bareArrivals.back() == kCabinetVendor, "arrival from a kernel event");
        plain.unplug();
        check(waitFor([&] { return bareRemovals >= 1; }), "removal from a kernel event");
    }

    std::printf("KERNEL-TEST-RESULT: %s (%d failed)\n", check.failures() ? "FAIL" : "PASS",
                check.failures());
    return check.failures() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1 && std::strcmp(argv[1], "--as") == 0)
        return runAs(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--monitor") == 0)
        return kerneltest::runMonitorChecks(argc, argv);
    return runAll(argc, argv);
}
