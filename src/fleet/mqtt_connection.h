// One connection to an MQTT broker that keeps itself up: it connects in the background, and
// after a failed attempt or a lost connection tries again after 1 s, then twice as long each
// time up to a limit. Messages of QoS 1 that the broker has not acknowledged when the
// connection drops are sent again on the next connection (with the DUP flag), so within a run
// none is lost; onPublished tells when the broker has taken one.
//
// Threads: made, used and destroyed on one thread (with a Qt event loop); every event is
// delivered on that thread. The network work runs on a thread of the connection's own.
#pragma once

#include "core/expected.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QObject;

namespace hq::fleet {

struct MqttOptions {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;
    std::string username; // empty: none
    std::string password;
    bool tls = false;
    std::string caFile; // the CA certificates that TLS trusts; empty: the system's
    int keepAliveSeconds = 30;
    // The broker publishes this when the connection is lost without a clean disconnect.
    std::string willTopic;
    std::string willPayload;
    bool willRetain = true;
    std::chrono::milliseconds reconnectMin{1000};
    std::chrono::milliseconds reconnectMax{30000};
    int maxInFlight = 64; // QoS 1 messages on their way at once
};

class MqttConnection {
public:
    virtual ~MqttConnection() = default;

    // Starts connecting (and keeps connecting until stop()).
    virtual Expected<void> start() = 0;
    // Queues a message; returns its message id (for onPublished). Fails when the connection
    // is not up, or the message is malformed.
    virtual Expected<int> publish(const std::string& topic, const std::string& payload, int qos,
                                  bool retain) = 0;
    // Disconnects cleanly (the will is not published) and stops reconnecting. Messages still
    // queued are dropped.
    virtual void stop() = 0;
    virtual bool connected() const = 0;

    std::function<void()> onConnected;
    // The connection was lost or an attempt failed; the text says why.
    std::function<void(const std::string&)> onDisconnected;
    // The broker acknowledged the message with this id (QoS 1: PUBACK; QoS 0: sent).
    std::function<void(int)> onPublished;
};

// The broker's address as given on the command line: "mqtt://HOST[:PORT]" (port 1883) or
// "mqtts://HOST[:PORT]" (TLS, port 8883); HOST may be a name, an IPv4 address or "[IPv6]".
// Sets host, port and tls of options.
Expected<void> parseBrokerUrl(const std::string& url, MqttOptions& options);

// The connection over libmosquitto. Null when this build has no MQTT support.
std::unique_ptr<MqttConnection> makeMosquittoConnection(const MqttOptions& options);
bool mqttSupported();

} // namespace hq::fleet
