// Publishes the cabinets a FleetPoller polls to an MQTT broker: per cabinet one connection (so
// that the broker can publish each cabinet's own "offline" will), its retained availability and
// discovery messages on every connect, and its status records from its outbox (the stored
// history) in sequence order, at most `window` unacknowledged at a time. The acknowledged
// position is saved about once a second and on stop.
//
// Main thread only (the connections deliver their events there).
#pragma once

#include "fleet/cabinet_snapshot.h"
#include "fleet/fleet_poller.h"
#include "fleet/mqtt_connection.h"
#include "fleet/outbox.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace hq::fleet {

struct PublisherOptions {
    MqttOptions connection;  // host, port, TLS, user; clientId is the base of each cabinet's id
    std::string topicPrefix; // checked with checkTopicPrefix
    int window = 64;
    std::chrono::milliseconds saveInterval{1000};
};

using ConnectionFactory = std::function<std::unique_ptr<MqttConnection>(const MqttOptions&)>;

class Publisher : public QObject {
public:
    Publisher(FleetPoller& poller, PublisherOptions options, ConnectionFactory factory);
    ~Publisher() override;
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // From the poller's events.
    void cabinetChanged(const CabinetSnapshot& cabinet);
    void recordStored(const CabinetSnapshot& cabinet, const PolledRecord& record);

    // Ends cleanly: hands on the records still waiting, then "offline" for every cabinet;
    // waits (at most `limit` in all) until the broker has taken them, saves the positions and
    // disconnects. Stop the poller's polling first, or records keep arriving.
    void stop(std::chrono::milliseconds limit);

    // The broker side of a cabinet for the metrics page; none for a cabinet without a channel.
    std::optional<CabinetSnapshot::Broker> brokerState(const std::string& key) const;
    // Records the broker acknowledged since the start (all cabinets).
    std::uint64_t acknowledgedRecords() const { return acknowledged_; }

    std::function<void(const QString&)> onNotice;

private:
    struct Channel {
        std::string key;
        std::unique_ptr<MqttConnection> connection;
        std::unique_ptr<Outbox> outbox;
        std::map<int, std::uint64_t> records; // message id -> sequence, in flight
        std::set<int> control;                // availability and discovery in flight
        CabinetSnapshot cabinet;
        bool everConnected = false;
        std::string lastProblem;
    };
    Channel* channel(const std::string& key);
    void openChannel(const CabinetSnapshot& cabinet);
    void onConnected(Channel& c);
    void onDisconnected(Channel& c, const std::string& why);
    void onPublished(Channel& c, int mid);
    void announce(Channel& c);
    void sendAvailability(Channel& c);
    void pump(Channel& c);
    void saveAll();
    void notice(const QString& line);

    FleetPoller& poller_;
    PublisherOptions options_;
    ConnectionFactory factory_;
    std::vector<std::unique_ptr<Channel>> channels_;
    QTimer saveTimer_;
    std::uint64_t acknowledged_ = 0;
    // Running; stopping and handing on the waiting records; stopping and "offline" said (nothing
    // goes out after it).
    enum class Phase { Running, HandingOn, Offline };
    Phase phase_ = Phase::Running;
};

} // namespace hq::fleet
