#include "fleet/mqtt_connection.h"

#include <charconv>

namespace hq::fleet {

Expected<void> parseBrokerUrl(const std::string& url, MqttOptions& options) {
    const auto bad = [&](const std::string& why) {
        return failure("The broker address \"" + url + "\" " + why +
                       " (expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT]).");
    };
    std::string rest;
    bool tls = false;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        tls = true;
    } else {
        return bad("has no mqtt:// or mqtts://");
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string host;
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            return bad("has an unclosed '['");
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                return bad("has something after the address");
            port = after.substr(1);
        }
    } else {
        const auto colon = rest.rfind(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos)
            port = rest.substr(colon + 1);
        if (host.find_first_of(":/@?#") != std::string::npos)
            return bad("is not a host with an optional port");
    }
    if (host.empty())
        return bad("has no host");
    int number = tls || options.tls ? 8883 : 1883;
    if (!port.empty() || rest.find(':') != std::string::npos) {
        const auto r = std::from_chars(port.data(), port.data() + port.size(), number);
        if (port.empty() || r.ec != std::errc() || r.ptr != port.data() + port.size() ||
            number < 1 || number > 65535)
            return bad("has no port from 1 to 65535");
    }
    options.host = host;
    options.port = number;
    options.tls = options.tls || tls;
    return {};
}

} // namespace hq::fleet
