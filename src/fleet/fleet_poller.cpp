#include "fleet/fleet_poller.h"

#include "cabinet/identity.h"
#include "hid/hid_controller.h"
#include "hid/hid_device.h"
#include "history/archive_location.h"
#include "history/archive_reader.h"
#include "protocol/command_frame.h"
#include "protocol/output_report.h"

#include <algorithm>

namespace hq::fleet {

struct FleetPoller::Link {
    std::unique_ptr<HidDevice> device;
    protocol::ReplyDecoder decoder;
    QString usbSerial;
    std::string path;
    std::string key; // empty until the configuration has answered
    std::unique_ptr<history::ArchiveWriter> writer;
    int missedPolls = 0;
    bool statusAsked = false;
    bool released = false;
};

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

FleetPoller::FleetPoller(platform::HidPlatform& platform, PollerOptions options)
    : platform_(platform), options_(std::move(options)) {
    pollTimer_.setTimerType(Qt::PreciseTimer);
    connect(&pollTimer_, &QTimer::timeout, this, [this] { poll(); });
    connect(&retryTimer_, &QTimer::timeout, this, [this] { retryDeferred(); });
    reaper_.setSingleShot(true);
    connect(&reaper_, &QTimer::timeout, this, [this] { collectReleased(); });
}

FleetPoller::~FleetPoller() {
    // No events while going: whoever listened may be gone already.
    onCabinet = nullptr;
    onRecord = nullptr;
    onNotice = nullptr;
    pollTimer_.stop();
    retryTimer_.stop();
    while (!links_.empty())
        release(*links_.back(), false); // moves it out of links_
    released_.clear();
    if (controller_) {
        controller_->setOnArrival(nullptr);
        controller_->setOnRemoval(nullptr);
        controller_->setLoading(true);
        controller_->setOnDeviceChange(nullptr);
    }
    controller_.reset();
}

void FleetPoller::stopPolling() {
    pollTimer_.stop();
}

bool FleetPoller::start() {
    if (!platform_.available())
        return false;
    controller_ = std::make_unique<HidDeviceController>(platform_);
    controller_->setOnArrival([this](HidDevice* d) { onArrival(d); });
    controller_->setOnRemoval([this](HidDevice* d) { onRemoval(d); });
    pollTimer_.start(static_cast<int>(options_.interval.count()));
    retryTimer_.start(static_cast<int>(options_.lockRetry.count()));
    return true;
}

bool FleetPoller::wanted(const QString& usbSerial, const std::string& key) const {
    if (options_.only.isEmpty())
        return true;
    return usbSerial == options_.only || (!key.empty() && text(key) == options_.only);
}

void FleetPoller::onArrival(HidDevice* device) {
    if (!device)
        return;
    const auto& a = device->hidAttributes();
    if (!cabinet::isCabinet(a.vendorId, a.productId) || device->claimed())
        return;
    const std::string& path = device->pnpRecord().InterfacePath;
    if (std::find(ignoredPaths_.begin(), ignoredPaths_.end(), path) != ignoredPaths_.end())
        return;
    for (const Deferred& d : deferred_)
        if (d.path == path)
            return; // taken up again by retryDeferred
    claim(device);
}

bool FleetPoller::claim(HidDevice* device) {
    const QString usbSerial = device->QuerySerialText();
    const std::string path = device->pnpRecord().InterfacePath;
    if (!device->canReadWrite()) {
        notice(QStringLiteral("cabinet %1 (%2) cannot be opened for reading and writing: %3")
                   .arg(usbSerial, text(path), text(device->openErrorText())));
        ignoredPaths_.push_back(path);
        return false;
    }
    const auto& list = controller_->devices();
    const auto at = std::find(list.begin(), list.end(), device);
    if (at == list.end())
        return false;
    auto link = std::make_unique<Link>();
    if (!controller_->ClaimAt(link->device, static_cast<std::int32_t>(at - list.begin()), true) ||
        !link->device)
        return false;
    link->usbSerial = usbSerial;
    link->path = path;
    Link* raw = link.get();
    links_.push_back(std::move(link));
    raw->device->SetReportHandler([this, raw](HidDevice*, std::uint8_t, const std::uint8_t* data,
                                              std::uint16_t size) { onReport(*raw, data, size); });
    // The configuration first: the firmware version decides the layout of the status record.
    send(*raw, protocol::configRequest());
    return true;
}

bool FleetPoller::send(Link& link, const protocol::CommandFrame& frame) {
    if (!link.device || link.released)
        return false;
    const platform::HidCaps caps = link.device->ReadCaps();
    const protocol::FramedReport report =
        protocol::frameOutputReport(frame, caps.outputReportByteLength);
    if (!report.ok())
        return false;
    std::uint32_t written = 0;
    return link.device->SendReport(report.bytes, written) && written == report.bytes.size();
}

void FleetPoller::onRemoval(HidDevice* device) {
    const auto it = std::find_if(links_.begin(), links_.end(),
                                 [&](const auto& l) { return l->device.get() == device; });
    if (device) {
        const std::string& path = device->pnpRecord().InterfacePath;
        std::erase(ignoredPaths_, path);
        std::erase_if(deferred_, [&](const Deferred& d) { return d.path == path; });
    }
    if (it == links_.end())
        return;
    release(**it, true);
}

void FleetPoller::release(Link& link, bool gone) {
    if (link.released)
        return;
    link.released = true;
    if (link.writer) {
        if (auto r = link.writer->close(); !r)
            notice(QStringLiteral("cabinet %1: the history could not be closed: %2")
                       .arg(text(link.key), text(r.error().message)));
        link.writer.reset();
    }
    if (!link.key.empty()) {
        Known& k = known(link.key);
        k.snapshot.attached = false;
        k.snapshot.answering = false;
        changed(k.snapshot);
        if (gone)
            notice(QStringLiteral("cabinet %1 went away").arg(text(link.key)));
    }
    // The device is destroyed (its reader stopped, its claim ended) outside its own handlers.
    const auto it =
        std::find_if(links_.begin(), links_.end(), [&](const auto& l) { return l.get() == &link; });
    if (it != links_.end()) {
        released_.push_back(std::move(*it));
        links_.erase(it);
        reaper_.start(0);
    }
}

void FleetPoller::collectReleased() {
    released_.clear();
}

void FleetPoller::onReport(Link& link, const std::uint8_t* data, std::uint16_t size) {
    if (link.released)
        return;
    protocol::DecodeResult r = link.decoder.decode(std::span<const std::uint8_t>(data, size));
    if (const auto* config = std::get_if<protocol::ConfigRecord>(&r.record))
        onConfig(link, *config);
    else if (std::holds_alternative<protocol::StatusRecord>(r.record))
        onStatus(link, r);
}

void FleetPoller::onConfig(Link& link, const protocol::ConfigRecord& config) {
    const std::string key = history::cabinetKey(config.serialNumber, link.usbSerial);
    if (!link.key.empty()) {
        // Asked again (after a silence): the firmware version may have changed.
        Known& k = known(link.key);
        k.snapshot.firmware = config.firmwareVersion();
        return;
    }
    if (!wanted(link.usbSerial, key)) {
        ignoredPaths_.push_back(link.path);
        release(link, false);
        return;
    }
    const QString directory = history::cabinetDirectory(options_.historyRoot, key);
    // Checked first: opening the writer of a locked folder waits for the lock.
    if (history::writerIsActive(directory)) {
        notice(QStringLiteral("cabinet %1 is polled by another program (its history in %2 is "
                              "being written); taken up when that program has ended")
                   .arg(text(key), directory));
        deferred_.push_back({link.path, key, directory});
        release(link, false);
        return;
    }
    std::vector<std::string> notices;
    auto writer = history::ArchiveWriter::open(directory, key, options_.writer, notices);
    for (const auto& n : notices)
        notice(QStringLiteral("cabinet %1: %2").arg(text(key), text(n)));
    if (!writer) {
        notice(QStringLiteral("cabinet %1 is not polled: %2; tried again in %3 s")
                   .arg(text(key), text(writer.error().message))
                   .arg(options_.lockRetry.count() / 1000.0));
        deferred_.push_back({link.path, key, directory});
        release(link, false);
        return;
    }
    link.key = key;
    link.writer = std::move(*writer);
    link.missedPolls = 0;
    Known& k = known(key);
    const bool first = k.snapshot.usbSerial.empty() && !k.snapshot.firmware;
    k.snapshot.usbSerial = link.usbSerial.toStdString();
    k.snapshot.firmware = config.firmwareVersion();
    k.snapshot.attached = true;
    k.snapshot.answering = true;
    notice(QStringLiteral("cabinet %1 (%2) %3; its history: %4")
               .arg(text(key), link.usbSerial,
                    first ? QStringLiteral("taken up") : QStringLiteral("is back"), directory));
    changed(k.snapshot);
}

void FleetPoller::onStatus(Link& link, const protocol::DecodeResult& result) {
    if (link.key.empty() || !link.writer)
        return; // not identified yet: its records have no home
    link.statusAsked = false;
    link.missedPolls = 0;
    PolledRecord polled;
    polled.record = std::get<protocol::StatusRecord>(result.record);
    const std::int64_t utcMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(result.timeStamp.time_since_epoch())
            .count();
    polled.row = history::rowFromStatus(utcMs, polled.record);
    polled.sequence = link.writer->nextSequence();
    // Journaled before anyone hears of it: a record that was handed on is on disk.
    auto stored = link.writer->append(polled.row);
    if (stored)
        stored = link.writer->flush();
    if (!stored)
        notice(QStringLiteral("cabinet %1: the history cannot be written: %2")
                   .arg(text(link.key), text(stored.error().message)));
    Known& k = known(link.key);
    k.snapshot.records += 1;
    k.snapshot.last = polled.record;
    k.snapshot.lastUtcMs = utcMs;
    const bool wasAnswering = k.snapshot.answering;
    k.snapshot.answering = true;
    if (!wasAnswering)
        changed(k.snapshot);
    if (onRecord)
        onRecord(k.snapshot, polled);
}

void FleetPoller::poll() {
    collectReleased();
    // Copied: a failed send may end a claim.
    std::vector<Link*> now;
    for (auto& l : links_)
        now.push_back(l.get());
    for (Link* link : now) {
        if (link->released)
            continue;
        if (link->key.empty()) {
            send(*link, protocol::configRequest());
            continue;
        }
        if (link->statusAsked && ++link->missedPolls >= options_.missedPollsUntilSilent) {
            Known& k = known(link->key);
            if (k.snapshot.answering) {
                k.snapshot.answering = false;
                notice(QStringLiteral("cabinet %1 does not answer").arg(text(link->key)));
                changed(k.snapshot);
            }
            // Ask for the configuration too: a cabinet that was reset may run other firmware.
            send(*link, protocol::configRequest());
        }
        link->statusAsked = send(*link, protocol::statusRequest()) || link->statusAsked;
    }
}

void FleetPoller::retryDeferred() {
    if (deferred_.empty() || !controller_)
        return;
    std::vector<Deferred> waiting = std::move(deferred_);
    deferred_.clear();
    for (const Deferred& d : waiting) {
        if (history::writerIsActive(d.directory)) {
            deferred_.push_back(d);
            continue;
        }
        HidDevice* device = nullptr;
        for (HidDevice* candidate : controller_->devices())
            if (candidate->plugged() && !candidate->claimed() &&
                candidate->pnpRecord().InterfacePath == d.path)
                device = candidate;
        if (device)
            claim(device); // asks "@" again; its answer opens the history
    }
}

FleetPoller::Known& FleetPoller::known(const std::string& key) {
    if (Known* k = findKnown(key))
        return *k;
    known_.push_back({});
    known_.back().snapshot.key = key;
    return known_.back();
}

FleetPoller::Known* FleetPoller::findKnown(const std::string& key) {
    for (Known& k : known_)
        if (k.snapshot.key == key)
            return &k;
    return nullptr;
}

const FleetPoller::Known* FleetPoller::findKnown(const std::string& key) const {
    for (const Known& k : known_)
        if (k.snapshot.key == key)
            return &k;
    return nullptr;
}

std::vector<CabinetSnapshot> FleetPoller::snapshots() const {
    std::vector<CabinetSnapshot> out;
    out.reserve(known_.size());
    for (const Known& k : known_)
        out.push_back(k.snapshot);
    return out;
}

const CabinetSnapshot* FleetPoller::snapshot(const std::string& key) const {
    const Known* k = findKnown(key);
    return k ? &k->snapshot : nullptr;
}

QString FleetPoller::directoryOf(const std::string& key) const {
    return history::cabinetDirectory(options_.historyRoot, key);
}

std::uint64_t FleetPoller::nextSequence(const std::string& key) const {
    for (const auto& l : links_)
        if (l->key == key && l->writer)
            return l->writer->nextSequence();
    return 0;
}

void FleetPoller::changed(const CabinetSnapshot& s) {
    if (onCabinet)
        onCabinet(s);
}

void FleetPoller::notice(const QString& line) {
    if (onNotice)
        onNotice(line);
}

} // namespace hq::fleet
