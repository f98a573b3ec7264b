// What publish sends: topics, the state payload with every field of the record table in its
// unit, Home Assistant discovery that points at fields the payload has, and the checks of the
// broker address and topic prefix given on the command line.
#include "fleet/mqtt_connection.h"
#include "fleet/mqtt_messages.h"

#include "protocol/record_table.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using namespace hq::fleet;

namespace {

CabinetSnapshot cabinet(const std::string& key = "12345678") {
    CabinetSnapshot c;
    c.key = key;
    c.usbSerial = "HQ0012345678";
    c.firmware = hq::protocol::FirmwareVersion{1, 3};
    c.attached = true;
    return c;
}

QJsonObject parse(const std::string& json) {
    QJsonParseError e;
    const QJsonDocument d = QJsonDocument::fromJson(QByteArray::fromStdString(json), &e);
    if (e.error != QJsonParseError::NoError)
        qWarning() << e.errorString() << QString::fromStdString(json);
    return d.object();
}

} // namespace

class TestMqttMessages : public QObject {
    Q_OBJECT
private slots:
    void timeStampsAreUtcWithMilliseconds_data() {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<QString>("text");
        QTest::newRow("epoch") << qint64(0) << "1970-01-01T00:00:00.000Z";
        QTest::newRow("before the epoch") << qint64(-1) << "1969-12-31T23:59:59.999Z";
        QTest::newRow("leap day") << qint64(1709208000123) << "2024-02-29T12:00:00.123Z";
        QTest::newRow("end of a year") << qint64(1798761599999) << "2026-12-31T23:59:59.999Z";
    }
    void timeStampsAreUtcWithMilliseconds() {
        QFETCH(qint64, ms);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(isoUtcMs(ms)), text);
    }

    void statePayloadHoldsEveryFieldInItsUnit() {
        hq::protocol::StatusRecord r;
        r.humidityTop = 234;
        r.humidityBottom = 9;
        r.temperatureTop = -55;
        r.temperatureBottom = 215;
        r.status = 0x01;
        r.fehler = 7;
        r.cabinetAddress = {192, 168, 1, 20};
        const QJsonObject o = parse(statePayload(cabinet(), 4711, 1709208000123, r));
        QCOMPARE(o.value("timeStamp").toString(), QStringLiteral("2024-02-29T12:00:00.123Z"));
        QCOMPARE(o.value("sequence").toInteger(), 4711);
        QCOMPARE(o.value("serial").toString(), QStringLiteral("12345678"));
        QCOMPARE(o.value("firmwareVersion").toString(), QStringLiteral("1.003"));
        QCOMPARE(o.value("humidityTop").toDouble(), 23.4);
        QCOMPARE(o.value("humidityBottom").toDouble(), 0.9);
        QCOMPARE(o.value("temperatureTop").toDouble(), -5.5);
        QCOMPARE(o.value("fehler").toInt(), 7);
        QCOMPARE(o.value("doorOpen").toBool(), true);
        QCOMPARE(o.value("cabinetAddress").toString(), QStringLiteral("192.168.1.20"));
        for (const auto& f : hq::protocol::kStatusFields)
            QVERIFY2(o.contains(QLatin1String(f.name.data(), qsizetype(f.name.size()))),
                     f.name.data());
        const QJsonObject units = o.value("units").toObject();
        QCOMPARE(units.value("humidityTop").toString(), QStringLiteral("% r.H."));
        QCOMPARE(units.value("temperatureBottom").toString(), QStringLiteral("°C"));
        QVERIFY(!units.contains("fehler"));
    }

    void topicsUseASafeKey() {
        QCOMPARE(stateTopic("plant1/hq3746", "12345678"),
                 std::string("plant1/hq3746/12345678/state"));
        QCOMPARE(availabilityTopic("hq3746", "HQ 00/+#"),
                 std::string("hq3746/HQ_00___/availability"));
    }

    // Every discovery message is retained, valid JSON, and reads a field the state has.
    void discoveryPointsAtFieldsOfTheState() {
        const CabinetSnapshot c = cabinet();
        const QJsonObject state = parse(statePayload(c, 1, 0, {}));
        const auto messages = discoveryMessages("hq3746", c);
        QCOMPARE(messages.size(), 6u);
        QStringList objects;
        for (const MqttMessage& m : messages) {
            QVERIFY(m.retain);
            const QString topic = QString::fromStdString(m.topic);
            QVERIFY2(QRegularExpression(
                         "^homeassistant/(sensor|binary_sensor)/hq3746_12345678/[a-z_]+/config$")
                         .match(topic)
                         .hasMatch(),
                     qPrintable(topic));
            const QJsonObject o = parse(m.payload);
            QCOMPARE(o.value("state_topic").toString(), QStringLiteral("hq3746/12345678/state"));
            QCOMPARE(o.value("availability_topic").toString(),
                     QStringLiteral("hq3746/12345678/availability"));
            const QString field = QRegularExpression("value_json\\.([A-Za-z0-9_]+)")
                                      .match(o.value("value_template").toString())
                                      .captured(1);
            QVERIFY2(state.contains(field), qPrintable(field));
            QCOMPARE(o.value("device").toObject().value("sw_version").toString(),
                     QStringLiteral("1.003"));
            objects << topic.section('/', 3, 3);
        }
        QCOMPARE(objects, QStringList({"humidity_top", "humidity_bottom", "temperature_top",
                                       "temperature_bottom", "door", "error_number"}));
        const QJsonObject humidity = parse(messages[0].payload);
        QCOMPARE(humidity.value("unit_of_measurement").toString(), QStringLiteral("%"));
        QCOMPARE(humidity.value("device_class").toString(), QStringLiteral("humidity"));
    }

    void topicPrefixes_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("used"); // empty: refused
        QTest::newRow("plain") << "hq3746"
                               << "hq3746";
        QTest::newRow("levels, trailing slash") << "plant1/line2/"
                                                << "plant1/line2";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("only slashes") << "//"
                                      << "";
        QTest::newRow("wildcard +") << "a/+/b"
                                    << "";
        QTest::newRow("wildcard #") << "a/#"
                                    << "";
        QTest::newRow("broker's own") << "$SYS/x"
                                      << "";
        QTest::newRow("control character") << "a\nb"
                                           << "";
    }
    void topicPrefixes() {
        QFETCH(QString, given);
        QFETCH(QString, used);
        const auto r = checkTopicPrefix(given.toStdString());
        QCOMPARE(r.ok(), !used.isEmpty());
        if (r.ok())
            QCOMPARE(QString::fromStdString(*r), used);
    }

    void brokerAddresses_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("tlsFlag"); // --tls-ca given
        QTest::addColumn<QString>("host"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("tls");
        QTest::newRow("default port") << "mqtt://broker" << false << "broker" << 1883 << false;
        QTest::newRow("port") << "mqtt://127.0.0.1:1884" << false << "127.0.0.1" << 1884 << false;
        QTest::newRow("mqtts") << "mqtts://b.example" << false << "b.example" << 8883 << true;
        QTest::newRow("tls by CA file") << "mqtt://b" << true << "b" << 8883 << true;
        QTest::newRow("IPv6") << "mqtt://[::1]:1885/" << false << "::1" << 1885 << false;
        QTest::newRow("no scheme") << "broker:1883" << false << "" << 0 << false;
        QTest::newRow("http") << "http://broker" << false << "" << 0 << false;
        QTest::newRow("no host") << "mqtt://:1883" << false << "" << 0 << false;
        QTest::newRow("port 0") << "mqtt://b:0" << false << "" << 0 << false;
        QTest::newRow("port too big") << "mqtt://b:65536" << false << "" << 0 << false;
        QTest::newRow("empty port") << "mqtt://b:" << false << "" << 0 << false;
        QTest::newRow("user in URL") << "mqtt://u@b" << false << "" << 0 << false;
        QTest::newRow("unclosed bracket") << "mqtt://[::1" << false << "" << 0 << false;
    }
    void brokerAddresses() {
        QFETCH(QString, url);
        QFETCH(bool, tlsFlag);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(bool, tls);
        MqttOptions o;
        o.tls = tlsFlag;
        const auto r = parseBrokerUrl(url.toStdString(), o);
        QCOMPARE(r.ok(), !host.isEmpty());
        if (!r.ok()) {
            QVERIFY(r.error().message.find(url.toStdString()) != std::string::npos);
            return;
        }
        QCOMPARE(QString::fromStdString(o.host), host);
        QCOMPARE(o.port, port);
        QCOMPARE(o.tls, tls);
    }
};

QTEST_GUILESS_MAIN(TestMqttMessages)
#include "test_mqtt_messages.moc"
