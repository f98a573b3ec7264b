// Polls every attached cabinet of the PC, the way the monitor polls its one: each cabinet is
// claimed when it arrives, asked for its configuration ("@") until it answers, then for a status
// record ("v") every interval. Every status record goes into the cabinet's stored history first
// (journaled at once, so a killed process loses no record it reported) and is then handed on
// with its sequence number in that history. Cabinets come and go with the bus (hotplug).
//
// One process polls a cabinet, never two: the stored history's writer lock decides. A cabinet
// whose history another program writes (the monitor, a second hq3746ctl) is let go at once and
// taken up again when that program has ended.
//
// Main thread only; the HID read threads hand their reports to it.
#pragma once

#include "fleet/cabinet_snapshot.h"
#include "history/archive_writer.h"
#include "history/columns.h"
#include "platform/hid_platform.h"
#include "protocol/decoder.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hq {
class HidDevice;
class HidDeviceController;
} // namespace hq

namespace hq::fleet {

struct PollerOptions {
    QString historyRoot; // the stored history's root folder
    history::WriterOptions writer;
    std::chrono::milliseconds interval{1000};
    // Only this cabinet: its USB serial-number string or its key (serial number). Empty: all.
    QString only;
    // A status request without an answer for this many polls: the cabinet is not answering.
    int missedPollsUntilSilent = 3;
    // How often a cabinet whose history another program writes is looked at again.
    std::chrono::milliseconds lockRetry{5000};
};

// A status record as it went into the stored history.
struct PolledRecord {
    std::uint64_t sequence = 0; // its number in the cabinet's stored history
    history::Row row;           // UTC milliseconds and every field
    protocol::StatusRecord record;
};

class FleetPoller : public QObject {
public:
    FleetPoller(platform::HidPlatform& platform, PollerOptions options);
    // Closes every cabinet's history (the open block is sealed) and lets the cabinets go,
    // without raising events.
    ~FleetPoller() override;
    FleetPoller(const FleetPoller&) = delete;
    FleetPoller& operator=(const FleetPoller&) = delete;

    // Starts the controller (its first scan claims what is attached) and the poll timer. False
    // when the platform's HID support is not available.
    bool start();
    // Sends no further requests; answers already on their way are still stored and reported.
    // For a clean stop: the records stored so far can then all be handed on.
    void stopPolling();

    // A cabinet was identified, came, went, or began or stopped answering.
    std::function<void(const CabinetSnapshot&)> onCabinet;
    // A status record of an identified cabinet, stored in its history.
    std::function<void(const CabinetSnapshot&, const PolledRecord&)> onRecord;
    // One line for people (a cabinet taken up or let go, a history that cannot be written).
    std::function<void(const QString&)> onNotice;

    // Every cabinet identified since the start, in the order they were first identified.
    std::vector<CabinetSnapshot> snapshots() const;
    // Null for a cabinet never identified. Stays valid for the poller's life.
    const CabinetSnapshot* snapshot(const std::string& key) const;
    // The folder of a cabinet's stored history.
    QString directoryOf(const std::string& key) const;
    // The sequence number the next record of this cabinet gets (0 while its history is not open).
    std::uint64_t nextSequence(const std::string& key) const;
    // The cabinets claimed at the moment (identified or not).
    std::size_t claimedCount() const { return links_.size(); }

private:
    struct Link;
    struct Known {
        CabinetSnapshot snapshot;
    };
    struct Deferred {
        std::string path; // interface path
        std::string key;
        QString directory;
    };
    void onArrival(HidDevice* device);
    void onRemoval(HidDevice* device);
    void onReport(Link& link, const std::uint8_t* data, std::uint16_t size);
    void onConfig(Link& link, const protocol::ConfigRecord& config);
    void onStatus(Link& link, const protocol::DecodeResult& result);
    void poll();
    void retryDeferred();
    bool claim(HidDevice* device);
    bool send(Link& link, const protocol::CommandFrame& frame);
    // Ends a claim (outside the device's own handlers): closes its history.
    void release(Link& link, bool gone);
    void collectReleased();
    Known& known(const std::string& key);
    Known* findKnown(const std::string& key);
    const Known* findKnown(const std::string& key) const;
    void changed(const CabinetSnapshot& s);
    void notice(const QString& text);
    bool wanted(const QString& usbSerial, const std::string& key) const;

    platform::HidPlatform& platform_;
    PollerOptions options_;
    std::unique_ptr<HidDeviceController> controller_;
    std::vector<std::unique_ptr<Link>> links_;
    std::vector<std::unique_ptr<Link>> released_; // destroyed outside the device's handlers
    std::deque<Known> known_;                     // references stay valid as cabinets are added
    std::vector<Deferred> deferred_;
    std::vector<std::string> ignoredPaths_; // not the cabinet asked for (until it is replugged)
    QTimer pollTimer_;
    QTimer retryTimer_;
    QTimer reaper_;
};

} // namespace hq::fleet
