// Not a test: writes synthetic stored history of the simulated cabinet (its drift and noise as
// they are), one record a second, for looking at the history viewer and for the fuzz corpus.
//   make_history_archive ROOT KEY RECORDS [START-ISO-UTC] [BLOCK-RECORDS]
#include "history/archive_location.h"
#include "history/archive_writer.h"
#include "sim_rows.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ROOT KEY RECORDS [START-ISO-UTC] [BLOCK-RECORDS]\n",
                     argv[0]);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const std::string key = argv[2];
    const long long records = std::atoll(argv[3]);
    std::int64_t start = QDateTime::currentMSecsSinceEpoch() - records * 1000;
    if (argc > 4)
        start =
            QDateTime::fromString(QString::fromLatin1(argv[4]), Qt::ISODate).toMSecsSinceEpoch();
    hq::history::WriterOptions options;
    if (argc > 5)
        options.blockRecords = std::uint32_t(std::atoi(argv[5]));
    std::vector<std::string> notices;
    auto w = hq::history::ArchiveWriter::open(hq::history::cabinetDirectory(root, key), key,
                                              options, notices);
    if (!w) {
        std::fprintf(stderr, "%s\n", w.error().message.c_str());
        return 1;
    }
    hq::testing::SimulatedRows sim(start);
    for (long long i = 0; i < records; ++i)
        if (auto r = (*w)->append(sim.next()); !r) {
            std::fprintf(stderr, "%s\n", r.error().message.c_str());
            return 1;
        }
    if (auto r = (*w)->close(); !r) {
        std::fprintf(stderr, "%s\n", r.error().message.c_str());
        return 1;
    }
    std::printf("%lld records in %s\n", records,
                qPrintable(hq::history::cabinetDirectory(root, key)));
    return 0;
}
