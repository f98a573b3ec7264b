// A build without an MQTT library (the Windows build: Debian has no libmosquitto for MinGW).
#include "fleet/mqtt_connection.h"

namespace hq::fleet {

std::unique_ptr<MqttConnection> makeMosquittoConnection(const MqttOptions&) {
    return nullptr;
}

bool mqttSupported() {
    return false;
}

} // namespace hq::fleet
