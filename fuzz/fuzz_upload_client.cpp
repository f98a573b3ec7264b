// The upload client fed a whole server reply in pieces over a stand-in connection. Whatever the
// server sends, the upload ends (by the reply, the end of the connection or its time limit), ends
// once, never holds more than its caps (1 MiB of body, 8 interim replies, 50 cookies of at most
// 4096 bytes per host) and reports a complete 2xx reply as a success with its status and any
// other final status as that status. The stand-in connection and the client's timer run on a
// clock of the target's own, so no run waits for real time and every run goes the same way.
//
// Input: byte 0 picks the behaviour (bit 0: the server closes the connection after its reply;
// bits 1-4: that many 128 KiB blocks of 'z' follow the reply bytes; bit 7: the server trickles,
// see below; bits 5-6 and byte 1 seed the piece sizes and times), the rest is the reply.
//
// Without trickling, every piece comes at once. Trickling, the server takes the request's bytes
// late and sends each piece some time after the one before, always well within the reply's time
// limit, and after its reply single 'z' bytes the same way, over three times that limit: however
// slowly the bytes come, the upload ends at the latest when the limit has passed since the request
// was sent (or the first reply byte came), and when the reply did not end it by then, it ends
// timed out at exactly that time.
#include "fuzz_check.h"
#include "network/http_upload.h"
#include "network/multipart_form_data.h"

#include <QBuffer>
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <queue>
#include <random>
#include <vector>

using hq::fuzz::check;

namespace {

// The time limits the client is given, in milliseconds of the target's clock.
constexpr int kConnectLimit = 200;
constexpr int kReplyLimit = 200;

// What the stand-in connection and timer do is queued on this clock at a time; Step() does the
// earliest (of equal times the first queued) and moves the clock to it.
class FakeClock {
public:
    qint64 now() const { return now_; }
    void at(qint64 time, std::function<void()> action) {
        queue_.push({time, ++queued_, std::move(action)});
    }
    // False when nothing is left to do.
    bool step() {
        if (queue_.empty())
            return false;
        Event next = queue_.top();
        queue_.pop();
        now_ = next.time;
        next.action();
        return true;
    }

private:
    struct Event {
        qint64 time;
        quint64 order;
        std::function<void()> action;
        bool operator>(const Event& other) const {
            return time != other.time ? time > other.time : order > other.order;
        }
    };
    std::priority_queue<Event, std::vector<Event>, std::greater<>> queue_;
    qint64 now_ = 0;
    quint64 queued_ = 0;
};

class FakeTimer : public hq::UploadTimer {
public:
    explicit FakeTimer(FakeClock& clock) : clock_(clock) {}
    void start(int ms) override {
        const quint64 run = ++run_;
        clock_.at(clock_.now() + ms, [this, run] {
            if (run == run_)
                emit timeout();
        });
    }
    void stop() override { ++run_; }

private:
    FakeClock& clock_;
    quint64 run_ = 0; // a timeout of an earlier start, or after stop(), is dropped
};

struct Script {
    QList<QByteArray> pieces;
    QList<qint64> gaps;   // time before each piece (the first: after the connection)
    qint64 takeDelay = 0; // time the server takes to take each write of the request
    qint64 closeGap = 0;  // time after the last piece until the close
    bool closeAtEnd = false;
};

// When the client's reply deadline started, and what came over the connection.
struct Trace {
    qint64 connectedAt = -1;
    qint64 firstReplyAt = -1;
    qint64 requestTakenAt = -1;
    qint64 written = 0;
    qint64 taken = 0;
    QByteArray delivered;
};

class FakeTransport : public hq::UploadTransport {
public:
    FakeTransport(Script script, FakeClock& clock, Trace& trace)
        : script_(std::move(script)), clock_(clock), trace_(trace) {}

    void connectToHost(const QHostAddress&, quint16) override { start(); }
    void connectToHost(const QString&, quint16) override { start(); }
    qint64 write(const char*, qint64 size) override {
        trace_.written += size;
        clock_.at(clock_.now() + script_.takeDelay, [this, size] {
            if (aborted_)
                return;
            trace_.taken += size;
            if (trace_.taken == trace_.written && trace_.requestTakenAt < 0)
                trace_.requestTakenAt = clock_.now();
            emit bytesWritten(size);
        });
        return size;
    }
    qint64 bytesToWrite() const override { return 0; }
    QByteArray readAll() override { return std::exchange(pending_, {}); }
    void abort() override { aborted_ = true; }
    QAbstractSocket::SocketError error() const override {
        return QAbstractSocket::RemoteHostClosedError;
    }
    QString errorString() const override { return QStringLiteral("closed by the server"); }

private:
    void start() {
        clock_.at(clock_.now(), [this] {
            trace_.connectedAt = clock_.now();
            emit connected();
            next(0);
        });
    }
    void next(qsizetype i) {
        if (aborted_)
            return;
        if (i < script_.pieces.size()) {
            clock_.at(clock_.now() + script_.gaps[i], [this, i] { deliver(i); });
        } else if (script_.closeAtEnd) {
            clock_.at(clock_.now() + script_.closeGap, [this] {
                if (!aborted_)
                    emit disconnected();
            });
        }
    }
    void deliver(qsizetype i) {
        if (aborted_)
            return;
        if (trace_.firstReplyAt < 0)
            trace_.firstReplyAt = clock_.now();
        pending_ += script_.pieces[i];
        trace_.delivered += script_.pieces[i];
        emit readyRead();
        next(i + 1);
    }

    Script script_;
    FakeClock& clock_;
    Trace& trace_;
    QByteArray pending_;
    bool aborted_ = false;
};

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "fuzz_upload_client";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

bool isFinalFailure(const hq::HttpReplyParser& p) {
    return p.finalHeadersSeen() && (p.statusCode() < 200 || p.statusCode() > 299);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    application();
    if (size < 2)
        return 0;
    const bool closeAtEnd = data[0] & 1;
    const int extraBlocks = (data[0] >> 1) & 15;
    const bool trickle = data[0] & 0x80;
    std::minstd_rand random(unsigned((data[0] >> 5) & 3) * 256u + data[1]);
    const QByteArray reply(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));

    Script script;
    script.closeAtEnd = closeAtEnd;
    for (qsizetype at = 0; at < reply.size();) {
        const qsizetype n = std::min<qsizetype>(1 + random() % 64, reply.size() - at);
        script.pieces.append(reply.mid(at, n));
        at += n;
    }
    for (int b = 0; b < extraBlocks; ++b)
        script.pieces.append(QByteArray(128 * 1024, 'z'));
    // Each gap is well within the reply's limit: a limit restarted by every byte never runs out.
    const auto gap = [&random] {
        return kReplyLimit / 8 + qint64(random() % (3 * kReplyLimit / 8));
    };
    if (trickle) {
        script.takeDelay = random() % (kReplyLimit / 4);
        qint64 spread = 0;
        for (qsizetype i = 0; i < script.pieces.size(); ++i) {
            script.gaps.append(i == 0 ? qint64(random() % (kReplyLimit / 2)) : gap());
            spread += script.gaps.last();
        }
        while (spread <= 3 * kReplyLimit) {
            script.pieces.append(QByteArray(1, 'z'));
            script.gaps.append(gap());
            spread += script.gaps.last();
        }
        script.closeGap = gap();
    } else {
        script.gaps = QList<qint64>(script.pieces.size(), 0);
    }

    FakeClock clock;
    Trace trace;
    hq::UploadClient client;
    client.setTransportFactory(
        [&] { return std::make_unique<FakeTransport>(script, clock, trace); });
    client.setTimerFactory([&clock] { return std::make_unique<FakeTimer>(clock); });
    client.setReplyTimeout(kReplyLimit);
    client.setConnectTimeout(kConnectLimit);
    hq::MultipartFormDataStream body;
    QByteArray image("image");
    QBuffer source(&image);
    source.open(QIODevice::ReadOnly);
    body.AppendFilePart(QStringLiteral("/mpfsupload"), QStringLiteral("MPFSImg_DC.bin"), {},
                        source);
    body.FinishBody();

    int finishedCount = 0;
    qint64 endedAt = -1;
    hq::UploadOutcome outcome;
    QObject::connect(&client, &hq::UploadClient::finished, [&](const hq::UploadOutcome& o) {
        ++finishedCount;
        endedAt = clock.now();
        outcome = o;
    });
    check(client.start(QStringLiteral("192.168.1.50"), body));
    // It ends: before the clock has nothing more to do, and so without waiting for ever.
    while (finishedCount == 0)
        check(clock.step());
    // Nothing more may come: not from what is still queued, nor from Qt's own events.
    while (clock.step()) {
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    check(finishedCount == 1 && !client.isRunning());

    using R = hq::UploadOutcome::Result;
    // Within its time limits: the connection, then the request, then the reply, each at most its
    // own, never restarted.
    check(trace.connectedAt == 0);
    check(endedAt <= trace.connectedAt + 2 * kReplyLimit);
    qint64 replyStart = std::numeric_limits<qint64>::max();
    if (trace.firstReplyAt >= 0)
        replyStart = trace.firstReplyAt;
    if (trace.requestTakenAt >= 0)
        replyStart = std::min(replyStart, trace.requestTakenAt);
    if (replyStart != std::numeric_limits<qint64>::max())
        check(endedAt <= replyStart + kReplyLimit);
    if (trickle) {
        // The pieces came for longer than the limit, so the upload ended by its deadline, or
        // earlier by the reply itself, never later.
        check(replyStart <= trace.connectedAt + kReplyLimit);
        if (outcome.result == R::TimedOut)
            check(endedAt == replyStart + kReplyLimit);
    }

    const hq::HttpReplyParser& parsed = client.reply();
    check(parsed.body().size() <= hq::HttpReplyParser::kMaxBody);
    check(parsed.interimReplies() <= hq::HttpReplyParser::kMaxInterimReplies);
    check(client.cookies().count(QStringLiteral("192.168.1.50")) <=
          hq::CookieStore::kMaxCookiesPerHost);
    for (const QByteArray& pair :
         client.cookies().cookieHeader(QStringLiteral("192.168.1.50")).split(';'))
        check(pair.trimmed().size() <= hq::CookieStore::kMaxCookieBytes + 1);

    const int status = parsed.statusCode();
    if (outcome.result == R::Success) {
        check(parsed.isComplete() && status >= 200 && status <= 299);
        check(outcome.httpStatus == status);
    }
    if (isFinalFailure(parsed))
        check(outcome.result == R::HttpStatus && outcome.httpStatus == status);
    if (parsed.isComplete() && status >= 200 && status <= 299)
        check(outcome.result == R::Success);
    // A reply that ended with the connection ends with it, not by the clock.
    if (closeAtEnd && !trickle)
        check(outcome.result != R::TimedOut);

    // The same bytes read in one piece come to the same end.
    hq::HttpReplyParser whole;
    if (trickle) {
        // What had come when the upload ended: a reply cut off by the clock had not ended by
        // then in any way.
        whole.feed(trace.delivered);
        if (outcome.result == R::TimedOut)
            check(!whole.isComplete() && !whole.isFailed() && !isFinalFailure(whole));
    } else {
        whole.feed(reply + QByteArray(qsizetype(extraBlocks) * 128 * 1024, 'z'));
        if (closeAtEnd)
            whole.finishInput();
        if (closeAtEnd && whole.isComplete() && whole.statusCode() >= 200 &&
            whole.statusCode() <= 299)
            check(outcome.result == R::Success);
    }
    if (outcome.result == R::Success)
        check(whole.isComplete());
    return 0;
}
