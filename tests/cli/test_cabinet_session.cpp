// The tool's link to one cabinet: asking again when an answer is lost, and pairing answers with
// the asks they belong to.
#include "cli/cabinet_session.h"
#include "platform/hid_simulated.h"
#include "protocol/command_frame.h"
#include "protocol/reply.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace hq;
using namespace hq::cli;
using namespace std::chrono_literals;

namespace {

// Byte 3 of a status report that the cabinet sends without being asked.
constexpr int kUnasked = 200;

// A status report as the scripted cabinet sends it: byte 3 (the low byte of l1Ups) carries mark.
std::vector<std::uint8_t> statusReport(std::uint8_t code, int mark) {
    std::vector<std::uint8_t> report(65, 0);
    report[1] = code;
    report[4] = static_cast<std::uint8_t>(mark);
    return report;
}

int markOf(const RequestResult& r) {
    return std::get<protocol::StatusRecord>(r.reply.record).l1Ups;
}

// A cabinet that answers "v" after the delay the script gives for each ask in turn (-1: never;
// past the script's end: at once), in the order it was asked, as a controller that handles one
// command after the other does. Each answer carries the number of its ask in byte 3, so a test
// can tell which ask an answer belonged to. On the asks listed in unaskedOn it first sends a
// status report nobody asked for (byte 3: kUnasked), at once.
class Scripted : public platform::SimulatedHidFunction {
public:
    Scripted(platform::SimulatedHidPlatform& bus, std::vector<int> delays,
             std::vector<int> unaskedOn = {})
        : bus_(bus), delays_(std::move(delays)), unaskedOn_(std::move(unaskedOn)) {}
    platform::SimulatedDeviceId id = 0;
    int asks = 0;

    platform::HidAttributes attributes() const override { return {12, 0x04D8, 0x003F, 1}; }
    platform::HidCaps caps() const override { return {0, 0, 65, 65, 0}; }
    std::optional<std::u16string> productString() const override { return u"HQ3746"; }
    std::optional<std::u16string> serialString() const override { return u"SCRIPT"; }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override {
        const int n = asks++;
        std::vector<std::vector<std::uint8_t>> now;
        if (std::find(unaskedOn_.begin(), unaskedOn_.end(), n) != unaskedOn_.end())
            now.push_back(statusReport(report[1], kUnasked));
        const std::vector<std::uint8_t> answer = statusReport(report[1], n);
        const int delay = n < int(delays_.size()) ? delays_[std::size_t(n)] : 0;
        if (delay < 0)
            return now;
        if (!clock_.isValid())
            clock_.start();
        const qint64 at = std::max(clock_.elapsed() + delay, lastAnswerAt_ + 1);
        lastAnswerAt_ = at;
        if (at <= clock_.elapsed()) {
            now.push_back(answer);
            return now;
        }
        QTimer::singleShot(int(at - clock_.elapsed()), &timers_,
                           [this, answer] { bus_.queueInputReport(id, answer); });
        return now;
    }

private:
    platform::SimulatedHidPlatform& bus_;
    std::vector<int> delays_;
    std::vector<int> unaskedOn_;
    QElapsedTimer clock_;
    qint64 lastAnswerAt_ = 0;
    QObject timers_; // answers not yet sent go with the cabinet
};

// A session that has claimed the scripted cabinet.
struct Link {
    platform::SimulatedHidPlatform bus;
    std::shared_ptr<Scripted> cabinet;
    std::unique_ptr<CabinetSession> session;

    explicit Link(std::vector<int> delays, std::vector<int> unaskedOn = {}) {
        cabinet = std::make_shared<Scripted>(bus, std::move(delays), std::move(unaskedOn));
        cabinet->id = bus.plug(cabinet);
        session = std::make_unique<CabinetSession>(bus, nullptr);
    }
    bool open() {
        QString problem;
        return session->start() &&
               session->open(QString(), problem) == CabinetSession::OpenResult::Ok;
    }
    RequestResult status(std::chrono::milliseconds timeout) {
        return session->request(protocol::statusRequest(), protocol::reply::kStatus, timeout);
    }
};

} // namespace

class TestCabinetSession : public QObject {
    Q_OBJECT

private slots:
    void lostAnswersAreAskedOnce_data() {
        QTest::addColumn<std::vector<int>>("delays");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("answerOfAsk"); // the ask number the answer carries
        QTest::addColumn<int>("asks");
        QTest::newRow("answered at once: asked once") << std::vector<int>{0} << true << 0 << 1;
        QTest::newRow("first answer lost") << std::vector<int>{-1} << true << 1 << 2;
        QTest::newRow("slow first answer: taken, asked again meanwhile")
            << std::vector<int>{300} << true << 0 << 2;
        QTest::newRow("never answered: asked twice") << std::vector<int>{-1, -1} << false << 0 << 2;
    }
    void lostAnswersAreAskedOnce() {
        QFETCH(std::vector<int>, delays);
        QFETCH(bool, answered);
        QFETCH(int, answerOfAsk);
        QFETCH(int, asks);
        Link link(delays);
        QVERIFY(link.open());
        const RequestResult r = link.status(400ms);
        QCOMPARE(r.status == WaitStatus::Ok, answered);
        if (answered)
            QCOMPARE(markOf(r), answerOfAsk);
        QCOMPARE(link.cabinet->asks, asks);
    }

    // Answers to a request that gave up (its ask and the ask made again) that arrive while the
    // next request waits, before its own answer, are not its answer: however late they come,
    // until the next request has waited half its time limit.
    void lateAnswerIsNotTakenForTheNextRequest_data() {
        QTest::addColumn<int>("delay"); // of the first answer
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("answered soon after the request gave up") << 340 << 0;
        QTest::newRow("answered after half a time limit more") << 700 << 0;
        QTest::newRow("answered after a pause, while the next request waits") << 700 << 250;
    }
    void lateAnswerIsNotTakenForTheNextRequest() {
        QFETCH(int, delay);
        QFETCH(int, pauseMs);
        // Request 1 gives up at 300 ms; its ask is answered after the delay, the ask made again
        // at 150 ms just after that; request 2's own answer comes only then.
        Link link({delay});
        QVERIFY(link.open());
        QCOMPARE(link.status(300ms).status, WaitStatus::Timeout);
        if (pauseMs > 0)
            QVERIFY(link.session->pause(std::chrono::milliseconds(pauseMs)));
        const RequestResult second = link.status(1000ms);
        QCOMPARE(second.status, WaitStatus::Ok);
        QCOMPARE(markOf(second), 2);
        QCOMPARE(link.cabinet->asks, 3);
    }

    // After a lost answer the requests that follow are each answered by their own first ask,
    // also when they follow at once: the ask made again is not left waiting for an answer that
    // already came.
    void lostAnswerDoesNotShiftThePairing_data() {
        QTest::addColumn<std::vector<int>>("delays");
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<std::vector<int>>("answers"); // the ask each request got (-1: none)
        QTest::addColumn<int>("asks");
        QTest::newRow("first answer lost, next request after a pause")
            << std::vector<int>{-1} << 250 << std::vector<int>{1, 2, 3} << 4;
        QTest::newRow("first answer lost, next request at once")
            << std::vector<int>{-1} << 0 << std::vector<int>{1, 2, 3} << 4;
        // Its two asks may still be answered late; the next request takes no answer for its
        // own until it asks again, and from then on the pairing is straight.
        QTest::newRow("first request unanswered, next request at once")
            << std::vector<int>{-1, -1} << 0 << std::vector<int>{-1, 3, 4} << 5;
        QTest::newRow("first request unanswered, next request after a pause")
            << std::vector<int>{-1, -1} << 250 << std::vector<int>{-1, 3, 4} << 5;
    }
    void lostAnswerDoesNotShiftThePairing() {
        QFETCH(std::vector<int>, delays);
        QFETCH(int, pauseMs);
        QFETCH(std::vector<int>, answers);
        QFETCH(int, asks);
        Link link(delays);
        QVERIFY(link.open());
        for (int expected : answers) {
            const RequestResult r = link.status(400ms);
            QCOMPARE(r.status, expected < 0 ? WaitStatus::Timeout : WaitStatus::Ok);
            if (expected >= 0)
                QCOMPARE(markOf(r), expected);
            if (pauseMs > 0)
                QVERIFY(link.session->pause(std::chrono::milliseconds(pauseMs)));
        }
        QCOMPARE(link.cabinet->asks, asks);
    }

    // A status report the cabinet sends unasked cannot be told from an answer: the waiting
    // request takes it (it is the cabinet's current record either way) and does not ask again.
    // The answer it stood in for answers nothing when no request waits as it comes, else the
    // waiting request; the request after that gets its own answer again.
    void reportNobodyAskedForShiftsThePairingAtMostOnce_data() {
        QTest::addColumn<std::vector<int>>("delays");
        QTest::addColumn<std::vector<int>>("unaskedOn");
        QTest::addColumn<bool>("unaskedBetween");      // one more report before the second request
        QTest::addColumn<int>("pauseMs");              // before the second request
        QTest::addColumn<std::vector<int>>("answers"); // the marks the three requests get
        QTest::newRow("between an ask and its answer, next request after that answer")
            << std::vector<int>{50} << std::vector<int>{0} << false << 150
            << std::vector<int>{kUnasked, 1, 2};
        QTest::newRow("between an ask and its answer, next request before that answer")
            << std::vector<int>{50} << std::vector<int>{0} << false << 0
            << std::vector<int>{kUnasked, 0, 2};
        QTest::newRow("while no request waits")
            << std::vector<int>{} << std::vector<int>{} << true << 150 << std::vector<int>{0, 1, 2};
    }
    void reportNobodyAskedForShiftsThePairingAtMostOnce() {
        QFETCH(std::vector<int>, delays);
        QFETCH(std::vector<int>, unaskedOn);
        QFETCH(bool, unaskedBetween);
        QFETCH(int, pauseMs);
        QFETCH(std::vector<int>, answers);
        Link link(delays, unaskedOn);
        QVERIFY(link.open());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const RequestResult r = link.status(400ms);
            QCOMPARE(r.status, WaitStatus::Ok);
            QCOMPARE(markOf(r), answers[i]);
            QCOMPARE(link.cabinet->asks, int(i) + 1); // nothing asked again
            if (i == 0 && unaskedBetween)
                link.bus.queueInputReport(link.cabinet->id,
                                          statusReport(protocol::reply::kStatus, kUnasked));
            const int pause = i == 0 ? pauseMs : 150;
            if (pause > 0)
                QVERIFY(link.session->pause(std::chrono::milliseconds(pause)));
        }
    }

    void commandsThatChangeTheCabinetAreNotAsked() {
        QVERIFY(protocol::answeredBy(protocol::statusRequest()));
        QVERIFY(protocol::answeredBy(protocol::configRequest()));
        QVERIFY(protocol::answeredBy(protocol::webImageVersionRequest()));
        QVERIFY(protocol::answeredBy(protocol::clockReadRequest()));
        for (const auto& frame :
             {protocol::settingsWriteFrame(5, 5, true), protocol::serialNumberWriteFrame(1),
              protocol::dispLdrCommand(), protocol::wdtTestCommand(),
              protocol::bootloaderEntryCommand(), protocol::controllerResetCommand()})
            QVERIFY(!protocol::answeredBy(frame));
    }
};

QTEST_GUILESS_MAIN(TestCabinetSession)
#include "test_cabinet_session.moc"
