// Child process of test_history_crash: records IndexedRow(i) through a HistoryRecorder as fast
// as a busy cabinet would send them, and after each append prints "i <steady ms>" so that the
// parent knows when every record was handed over. It runs until it is killed.
#include "history/history_recorder.h"
#include "history_test_support.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    hq::history::RecorderOptions o;
    o.root = QString::fromLocal8Bit(argv[1]);
    o.writer.blockRecords = 64; // blocks are sealed often, so kills land during seals too
    o.notice = [](const std::string& text) { std::fprintf(stderr, "notice: %s\n", text.c_str()); };
    std::uint64_t i = std::strtoull(argv[2], nullptr, 10);
    hq::history::HistoryRecorder recorder(o);
    recorder.beginCabinet(QStringLiteral("HQ-CRASH"));
    recorder.setSerialNumber(424242);
    for (;; ++i) {
        recorder.append(hq::testing::IndexedRow(i));
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        std::printf("%llu %lld\n", static_cast<unsigned long long>(i), static_cast<long long>(now));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}
