// MqttConnection over libmosquitto: one network thread per connection runs the library's loop
// and reconnects with a growing delay; the library's callbacks (on that thread) are handed to the
// owner's thread through a context object.
#include "fleet/mqtt_connection.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>

#include <mosquitto.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace hq::fleet {

namespace {

std::once_flag g_libraryInit;

// What the network thread and the owner share. The thread may outlive the connection object
// (a connect to a host that does not answer cannot be interrupted), so it holds its own share.
struct Shared {
    MqttOptions options;
    mosquitto* mosq = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> connackSeen{false};
    std::mutex lock; // guards target and the sleep below
    std::condition_variable wake;
    QPointer<QObject> target; // the owner's context object; null once the owner has gone
    std::function<void()> connectedEvent;
    std::function<void(std::string)> disconnectedEvent;
    std::function<void(int)> publishedEvent;

    ~Shared() {
        if (mosq)
            mosquitto_destroy(mosq);
    }

    // Runs f on the owner's thread, unless the owner has gone.
    template <class F> void post(F f) {
        std::lock_guard<std::mutex> g(lock);
        if (target)
            QMetaObject::invokeMethod(target.data(), std::move(f), Qt::QueuedConnection);
    }
    void sleepFor(std::chrono::milliseconds d) {
        std::unique_lock<std::mutex> g(lock);
        wake.wait_for(g, d, [this] { return stopping.load(); });
    }
};

std::string reasonText(int rc) {
    if (rc == MOSQ_ERR_ERRNO)
        return std::string("system error: ") + std::strerror(errno);
    return mosquitto_strerror(rc);
}

void onConnect(mosquitto*, void* obj, int rc) {
    auto* s = static_cast<Shared*>(obj);
    if (rc == 0) {
        s->connected = true;
        s->connackSeen = true;
        s->post([s] {
            if (s->connectedEvent)
                s->connectedEvent();
        });
    } else {
        const std::string why =
            std::string("the broker refused the connection: ") + mosquitto_connack_string(rc);
        s->post([s, why] {
            if (s->disconnectedEvent)
                s->disconnectedEvent(why);
        });
    }
}

void onDisconnect(mosquitto*, void* obj, int rc) {
    auto* s = static_cast<Shared*>(obj);
    const bool was = s->connected.exchange(false);
    if (!was || s->stopping)
        return;
    const std::string why =
        rc == 0 ? std::string("disconnected") : "the connection was lost: " + reasonText(rc);
    s->post([s, why] {
        if (s->disconnectedEvent)
            s->disconnectedEvent(why);
    });
}

void onPublish(mosquitto*, void* obj, int mid) {
    auto* s = static_cast<Shared*>(obj);
    s->post([s, mid] {
        if (s->publishedEvent)
            s->publishedEvent(mid);
    });
}

void runNetwork(std::shared_ptr<Shared> s) {
    auto delay = s->options.reconnectMin;
    while (!s->stopping) {
        s->connackSeen = false;
        const int rc = mosquitto_connect(s->mosq, s->options.host.c_str(), s->options.port,
                                         s->options.keepAliveSeconds);
        if (rc == MOSQ_ERR_SUCCESS) {
            int loop = MOSQ_ERR_SUCCESS;
            while (!s->stopping && loop == MOSQ_ERR_SUCCESS)
                loop = mosquitto_loop(s->mosq, 100, 1);
            if (s->stopping)
                break;
            if (s->connected.exchange(false)) {
                const std::string why = "the connection was lost: " + reasonText(loop);
                s->post([s, why] {
                    if (s->disconnectedEvent)
                        s->disconnectedEvent(why);
                });
            }
            if (s->connackSeen)
                delay = s->options.reconnectMin; // it was up: start again with a short delay
        } else {
            const std::string why = "cannot connect to " + s->options.host + ":" +
                                    std::to_string(s->options.port) + ": " + reasonText(rc);
            s->post([s, why] {
                if (s->disconnectedEvent)
                    s->disconnectedEvent(why);
            });
        }
        s->sleepFor(delay);
        delay = std::min(delay * 2, s->options.reconnectMax);
    }
    if (s->connected.exchange(false)) {
        mosquitto_disconnect(s->mosq);
        // Lets the DISCONNECT packet go out.
        for (int i = 0; i < 5 && mosquitto_loop(s->mosq, 20, 1) == MOSQ_ERR_SUCCESS; ++i) {
        }
    }
}

class MosquittoConnection : public MqttConnection {
public:
    explicit MosquittoConnection(const MqttOptions& options) : shared_(std::make_shared<Shared>()) {
        shared_->options = options;
        context_ = std::make_unique<QObject>();
        shared_->target = context_.get();
        shared_->connectedEvent = [this] {
            if (onConnected)
                onConnected();
        };
        shared_->disconnectedEvent = [this](std::string why) {
            if (onDisconnected)
                onDisconnected(why);
        };
        shared_->publishedEvent = [this](int mid) {
            if (onPublished)
                onPublished(mid);
        };
    }

    ~MosquittoConnection() override { stop(); }

    Expected<void> start() override {
        std::call_once(g_libraryInit, [] { mosquitto_lib_init(); });
        Shared& s = *shared_;
        const MqttOptions& o = s.options;
        s.mosq = mosquitto_new(o.clientId.empty() ? nullptr : o.clientId.c_str(), true, &s);
        if (!s.mosq)
            return failure("The MQTT client cannot be made (client id \"" + o.clientId + "\").");
        mosquitto_threaded_set(s.mosq, true);
        mosquitto_int_option(s.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_max_inflight_messages_set(s.mosq, static_cast<unsigned>(o.maxInFlight));
        mosquitto_connect_callback_set(s.mosq, onConnect);
        mosquitto_disconnect_callback_set(s.mosq, onDisconnect);
        mosquitto_publish_callback_set(s.mosq, onPublish);
        if (!o.username.empty()) {
            if (int rc = mosquitto_username_pw_set(
                    s.mosq, o.username.c_str(), o.password.empty() ? nullptr : o.password.c_str());
                rc != MOSQ_ERR_SUCCESS)
                return failure("The user name cannot be set: " + reasonText(rc));
        }
        if (o.tls || !o.caFile.empty()) {
            if (int rc = mosquitto_tls_set(s.mosq, o.caFile.empty() ? nullptr : o.caFile.c_str(),
                                           o.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                                           nullptr, nullptr);
                rc != MOSQ_ERR_SUCCESS)
                return failure("TLS with the CA file \"" + o.caFile +
                               "\" cannot be set up: " + reasonText(rc));
        }
        if (!o.willTopic.empty()) {
            if (int rc = mosquitto_will_set(s.mosq, o.willTopic.c_str(),
                                            static_cast<int>(o.willPayload.size()),
                                            o.willPayload.data(), 1, o.willRetain);
                rc != MOSQ_ERR_SUCCESS)
                return failure("The will on \"" + o.willTopic +
                               "\" cannot be set: " + reasonText(rc));
        }
        worker_ = std::thread(runNetwork, shared_);
        return {};
    }

    Expected<int> publish(const std::string& topic, const std::string& payload, int qos,
                          bool retain) override {
        if (!shared_->mosq || !shared_->connected)
            return failure("not connected to the broker");
        int mid = 0;
        const int rc =
            mosquitto_publish(shared_->mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, retain);
        if (rc != MOSQ_ERR_SUCCESS)
            return failure("publishing on \"" + topic + "\" failed: " + reasonText(rc));
        return mid;
    }

    void stop() override {
        if (!worker_.joinable())
            return;
        {
            std::lock_guard<std::mutex> g(shared_->lock);
            shared_->stopping = true;
            shared_->target = nullptr; // no event reaches this object any more
        }
        shared_->wake.notify_all();
        // A connect to a host that does not answer blocks until the system gives up; the
        // thread then ends on its own later, holding its share of the state.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!workerEnded() && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (workerEnded())
            worker_.join();
        else
            worker_.detach();
    }

    bool connected() const override { return shared_->connected; }

private:
    bool workerEnded() const { return shared_.use_count() == 1; }

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<QObject> context_;
    std::thread worker_;
};

} // namespace

std::unique_ptr<MqttConnection> makeMosquittoConnection(const MqttOptions& options) {
    return std::make_unique<MosquittoConnection>(options);
}

bool mqttSupported() {
    return true;
}

} // namespace hq::fleet
