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

// A cabinet that answers "v" after the delay the script gives for each ask in turn (-1: never;
// past the script's end: at once), in the order it was asked, as a controller that handles one
// command after the other does. Each answer carries the number of its ask in byte 3, so a test
// can tell which ask an answer belonged to.
class Scripted : public platform::SimulatedHidFunction {
public:
    Scripted(platform::SimulatedHidPlatform& bus, std::vector<int> delays)
        : bus_(bus), delays_(std::move(delays)) {}
    platform::SimulatedDeviceId id = 0;
    int asks = 0;

    platform::HidAttributes attributes() const override { return {12, 0x04D8, 0x003F, 1}; }
    platform::HidCaps caps() const override { return {0, 0, 65, 65, 0}; }
    std::optional<std::u16string> productString() const override { return u"HQ3746"; }
    std::optional<std::u16string> serialString() const override { return u"SCRIPT"; }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override {
        const int n = asks++;
        std::vector<std::uint8_t> answer(65, 0);
        answer[1] = report[1];
        answer[4] = static_cast<std::uint8_t>(n);
        const int delay = n < int(delays_.size()) ? delays_[std::size_t(n)] : 0;
        if (delay < 0)
            return {};
        if (!clock_.isValid())
            clock_.start();
        const qint64 at = std::max(clock_.elapsed() + delay, lastAnswerAt_ + 1);
        lastAnswerAt_ = at;
        if (at <= clock_.elapsed())
            return {answer};
        QTimer::singleShot(int(at - clock_.elapsed()), &timers_,
                           [this, answer] { bus_.queueInputReport(id, answer); });
        return {};
    }

private:
    platform::SimulatedHidPlatform& bus_;
    std::vector<int> delays_;
    QElapsedTimer clock_;
    qint64 lastAnswerAt_ = 0;
    QObject timers_; // answers not yet sent go with the cabinet
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
        platform::SimulatedHidPlatform bus;
        auto cabinet = std::make_shared<Scripted>(bus, delays);
        cabinet->id = bus.plug(cabinet);
        CabinetSession session(bus, nullptr);
        QVERIFY(session.start());
        QString problem;
        QCOMPARE(session.open(QString(), problem), CabinetSession::OpenResult::Ok);
        const RequestResult r =
            session.request(protocol::statusRequest(), protocol::reply::Status, 400ms);
        QCOMPARE(r.status == WaitStatus::Ok, answered);
        if (answered)
            QCOMPARE(std::get<protocol::StatusRecord>(r.reply.record).l1Ups, answerOfAsk);
        QCOMPARE(cabinet->asks, asks);
    }

    // Answers to an earlier request that arrive during a later one are not its answer.
    void lateAnswerIsNotTakenForTheNextRequest() {
        platform::SimulatedHidPlatform bus;
        // Request 1 gives up at 300 ms; its ask (answered at 340 ms) and the ask made again at
        // 150 ms are answered only while request 2 waits, before request 2's own answer.
        auto cabinet = std::make_shared<Scripted>(bus, std::vector<int>{340});
        cabinet->id = bus.plug(cabinet);
        CabinetSession session(bus, nullptr);
        QVERIFY(session.start());
        QString problem;
        QCOMPARE(session.open(QString(), problem), CabinetSession::OpenResult::Ok);
        const RequestResult first =
            session.request(protocol::statusRequest(), protocol::reply::Status, 300ms);
        QCOMPARE(first.status, WaitStatus::Timeout);
        const RequestResult second =
            session.request(protocol::statusRequest(), protocol::reply::Status, 1000ms);
        QCOMPARE(second.status, WaitStatus::Ok);
        QCOMPARE(std::get<protocol::StatusRecord>(second.reply.record).l1Ups, 2);
        QCOMPARE(cabinet->asks, 3);
    }

    // A lost answer does not slow the requests after it for more than half a time limit.
    void lostAnswerDoesNotShiftThePairing() {
        platform::SimulatedHidPlatform bus;
        auto cabinet = std::make_shared<Scripted>(bus, std::vector<int>{-1});
        cabinet->id = bus.plug(cabinet);
        CabinetSession session(bus, nullptr);
        QVERIFY(session.start());
        QString problem;
        QCOMPARE(session.open(QString(), problem), CabinetSession::OpenResult::Ok);
        for (int i = 0; i < 3; ++i) {
            const RequestResult r =
                session.request(protocol::statusRequest(), protocol::reply::Status, 400ms);
            QCOMPARE(r.status, WaitStatus::Ok);
            // The first request was answered through its second ask, each later one at once.
            QCOMPARE(std::get<protocol::StatusRecord>(r.reply.record).l1Ups, i + 1);
            QVERIFY(session.pause(250ms));
        }
        QCOMPARE(cabinet->asks, 4);
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
