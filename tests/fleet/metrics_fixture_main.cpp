// A metrics page of two fixed cabinets, for the scrape by a real Prometheus server:
//   metrics_fixture --metrics ADDR:PORT
// Cabinet 12345678 answers with 45.3 and 38.7 % r.H., 21.5 and -1.2 °C, firmware 1.003, and is
// published to a broker; cabinet "HQ-0007" is attached but has sent no record yet.
#include "fleet/metrics_server.h"
#include "fleet/metrics_text.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>

#include <cstdio>
#include <vector>

namespace {

std::vector<hq::fleet::CabinetSnapshot> cabinets(std::int64_t startUtcMs) {
    hq::fleet::CabinetSnapshot answering;
    answering.key = "12345678";
    answering.usbSerial = "HQ3746-0001";
    answering.firmware = hq::protocol::FirmwareVersion{1, 3};
    answering.attached = true;
    answering.answering = true;
    answering.records = 120;
    hq::protocol::StatusRecord r;
    r.humidityTop = 453;
    r.humidityBottom = 387;
    r.temperatureTop = 215;
    r.temperatureBottom = -12;
    answering.last = r;
    answering.lastUtcMs = startUtcMs;
    answering.broker = hq::fleet::CabinetSnapshot::Broker{true, 0};

    hq::fleet::CabinetSnapshot silent;
    silent.key = "HQ-0007";
    silent.usbSerial = "HQ-0007";
    silent.attached = true;
    return {answering, silent};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || args[1] != QLatin1String("--metrics")) {
        std::fprintf(stderr, "usage: metrics_fixture --metrics ADDR:PORT\n");
        return 2;
    }
    const auto where = hq::fleet::parseListenAddress(args[2]);
    if (!where) {
        std::fprintf(stderr, "%s\n", where.error().message.c_str());
        return 2;
    }
    const std::vector<hq::fleet::CabinetSnapshot> fixed =
        cabinets(QDateTime::currentMSecsSinceEpoch());
    hq::fleet::MetricsServer server;
    server.setPage(
        [&fixed] { return hq::fleet::metricsText(fixed, QDateTime::currentMSecsSinceEpoch()); });
    const auto listening = server.listen(where->first, where->second);
    if (!listening) {
        std::fprintf(stderr, "%s\n", listening.error().message.c_str());
        return 1;
    }
    std::printf("serving http://%s/metrics\n", qPrintable(args[2]));
    std::fflush(stdout);
    return app.exec();
}
