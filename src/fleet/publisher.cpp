#include "fleet/publisher.h"

#include "fleet/mqtt_messages.h"
#include "history/columns.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

namespace hq::fleet {

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

Publisher::Publisher(FleetPoller& poller, PublisherOptions options, ConnectionFactory factory)
    : poller_(poller), options_(std::move(options)), factory_(std::move(factory)) {
    connect(&saveTimer_, &QTimer::timeout, this, [this] { saveAll(); });
    saveTimer_.start(static_cast<int>(options_.saveInterval.count()));
}

Publisher::~Publisher() {
    saveTimer_.stop();
    for (auto& c : channels_) {
        if (c->connection)
            c->connection->stop();
        if (c->outbox)
            (void)c->outbox->save();
    }
}

Publisher::Channel* Publisher::channel(const std::string& key) {
    for (auto& c : channels_)
        if (c->key == key)
            return c.get();
    return nullptr;
}

void Publisher::cabinetChanged(const CabinetSnapshot& cabinet) {
    if (phase_ != Phase::Running || cabinet.key.empty())
        return;
    Channel* c = channel(cabinet.key);
    if (!c) {
        if (cabinet.attached)
            openChannel(cabinet);
        return;
    }
    const bool availabilityChanged = c->cabinet.attached != cabinet.attached;
    const bool firmwareChanged = c->cabinet.firmware != cabinet.firmware;
    c->cabinet = cabinet;
    if (!c->connection || !c->connection->connected())
        return;
    if (firmwareChanged)
        announce(*c);
    else if (availabilityChanged)
        sendAvailability(*c);
}

void Publisher::openChannel(const CabinetSnapshot& cabinet) {
    auto c = std::make_unique<Channel>();
    c->key = cabinet.key;
    c->cabinet = cabinet;
    c->outbox = std::make_unique<Outbox>(poller_.directoryOf(cabinet.key),
                                         positionFileName(text(options_.connection.host),
                                                          options_.connection.port,
                                                          text(options_.topicPrefix)));
    if (auto r = c->outbox->open(poller_.nextSequence(cabinet.key)); !r)
        notice(QStringLiteral("cabinet %1: %2").arg(text(cabinet.key), text(r.error().message)));

    MqttOptions o = options_.connection;
    const std::string base = o.clientId.empty() ? std::string("hq3746") : o.clientId;
    o.clientId = base + "-" + topicKey(cabinet.key);
    o.willTopic = availabilityTopic(options_.topicPrefix, cabinet.key);
    o.willPayload = kOffline;
    o.willRetain = true;
    o.maxInFlight = options_.window;
    c->connection = factory_(o);
    Channel* raw = c.get();
    channels_.push_back(std::move(c));
    if (!raw->connection) {
        notice(QStringLiteral("this build cannot publish to an MQTT broker"));
        return;
    }
    raw->connection->onConnected = [this, raw] { onConnected(*raw); };
    raw->connection->onDisconnected = [this, raw](const std::string& why) {
        onDisconnected(*raw, why);
    };
    raw->connection->onPublished = [this, raw](int mid) { onPublished(*raw, mid); };
    if (auto r = raw->connection->start(); !r)
        notice(QStringLiteral("cabinet %1: %2").arg(text(raw->key), text(r.error().message)));
}

void Publisher::onConnected(Channel& c) {
    notice(QStringLiteral("cabinet %1: connected to %2:%3%4")
               .arg(text(c.key), text(options_.connection.host))
               .arg(options_.connection.port)
               .arg(c.outbox->backlog() > 0
                        ? QStringLiteral(" (%1 records waiting)").arg(c.outbox->backlog())
                        : QString()));
    c.everConnected = true;
    c.lastProblem.clear();
    announce(c);
    pump(c);
}

void Publisher::onDisconnected(Channel& c, const std::string& why) {
    if (why == c.lastProblem)
        return; // said once; the connection keeps trying
    c.lastProblem = why;
    notice(QStringLiteral("cabinet %1: %2%3")
               .arg(text(c.key), text(why),
                    c.outbox->backlog() > 0 || c.everConnected
                        ? QStringLiteral("; the records wait in the stored history")
                        : QString()));
}

void Publisher::announce(Channel& c) {
    for (const MqttMessage& m : discoveryMessages(options_.topicPrefix, c.cabinet)) {
        auto mid = c.connection->publish(m.topic, m.payload, 1, m.retain);
        if (mid)
            c.control.insert(*mid);
    }
    sendAvailability(c);
}

void Publisher::sendAvailability(Channel& c) {
    const char* state = c.cabinet.attached && phase_ == Phase::Running ? kOnline : kOffline;
    auto mid =
        c.connection->publish(availabilityTopic(options_.topicPrefix, c.key), state, 1, true);
    if (mid)
        c.control.insert(*mid);
}

void Publisher::pump(Channel& c) {
    if (phase_ == Phase::Offline)
        return;
    while (c.connection->connected() && c.records.size() < std::size_t(options_.window)) {
        auto next = c.outbox->next();
        if (!next)
            return;
        const protocol::StatusRecord record = history::statusFromRow(next->row);
        auto mid = c.connection->publish(
            stateTopic(options_.topicPrefix, c.key),
            statePayload(c.cabinet, next->sequence, next->row.timeMs, record), 1, false);
        if (!mid) {
            c.outbox->retract(next->sequence);
            return;
        }
        c.records[*mid] = next->sequence;
    }
}

void Publisher::onPublished(Channel& c, int mid) {
    if (const auto it = c.records.find(mid); it != c.records.end()) {
        c.outbox->acknowledged(it->second);
        c.records.erase(it);
        ++acknowledged_;
    } else {
        c.control.erase(mid);
    }
    pump(c); // while stopping too: the records still waiting go out before "offline"
}

void Publisher::recordStored(const CabinetSnapshot& cabinet, const PolledRecord& record) {
    Channel* c = channel(cabinet.key);
    if (!c) {
        openChannel(cabinet);
        c = channel(cabinet.key);
    }
    c->cabinet = cabinet;
    c->outbox->push(record.sequence, record.row);
    if (c->connection)
        pump(*c);
}

void Publisher::stop(std::chrono::milliseconds limit) {
    phase_ = Phase::HandingOn;
    // First every record still waiting in the outbox goes out and is taken by the broker, then
    // "offline"; within the limit, and only while connected: what is left waits in the stored
    // history for the next start.
    QDeadlineTimer deadline(limit);
    auto waitWhile = [&](auto&& pending) {
        while (!deadline.hasExpired()) {
            bool any = false;
            for (const auto& c : channels_)
                any = any || (c->connection && c->connection->connected() && pending(*c));
            if (!any)
                return;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
    };
    for (auto& c : channels_)
        if (c->connection)
            pump(*c);
    waitWhile([](const Channel& c) { return !c.records.empty() || c.outbox->backlog() > 0; });
    phase_ = Phase::Offline;
    for (auto& c : channels_)
        if (c->connection && c->connection->connected())
            sendAvailability(*c);
    waitWhile([](const Channel& c) { return !c.records.empty() || !c.control.empty(); });
    saveAll();
    for (auto& c : channels_)
        if (c->connection)
            c->connection->stop();
}

std::optional<CabinetSnapshot::Broker> Publisher::brokerState(const std::string& key) const {
    for (const auto& c : channels_)
        if (c->key == key)
            return CabinetSnapshot::Broker{c->connection && c->connection->connected(),
                                           c->outbox->backlog()};
    return std::nullopt;
}

void Publisher::saveAll() {
    for (auto& c : channels_)
        if (auto r = c->outbox->save(); !r)
            notice(QStringLiteral("cabinet %1: %2").arg(text(c->key), text(r.error().message)));
}

void Publisher::notice(const QString& line) {
    if (onNotice)
        onNotice(line);
}

} // namespace hq::fleet
