#include "../wine_quirks.h"
#include "network/http_upload.h"
#include "network/multipart_form_data.h"
#include "sim/net_upload_server.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using hq::UploadClient;
using hq::UploadOutcome;
using Behaviour = hq::sim::UploadServerBehaviour;
using Result = UploadOutcome::Result;

Q_DECLARE_METATYPE(UploadOutcome::Result)
Q_DECLARE_METATYPE(hq::sim::UploadServerBehaviour)

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

const QDateTime kTime(QDate(2024, 1, 3), QTime(9, 5, 7, 4));

std::unique_ptr<hq::MultipartFormDataStream> makeBody(const QByteArray& image,
                                                      const QDateTime& time = kTime) {
    auto body = std::make_unique<hq::MultipartFormDataStream>(time);
    QBuffer source;
    source.setData(image);
    source.open(QIODevice::ReadOnly);
    body->AppendFilePart(QStringLiteral("/mpfsupload"),
                         QStringLiteral("D:\\Monitor\\MPFSImg_DC.bin"), QString(), source);
    body->FinishBody();
    return body;
}

UploadOutcome runUpload(UploadClient& client, const QString& host,
                        const hq::MultipartFormDataStream& body, int waitMs = 10000) {
    QSignalSpy done(&client, &UploadClient::finished);
    if (!client.start(host, body)) {
        return {Result::NetworkError, 0, QStringLiteral("refused to start")};
    }
    if (!done.wait(waitMs) || done.size() != 1) {
        return {Result::NetworkError, 0, QStringLiteral("no outcome")};
    }
    return done.first().first().value<UploadOutcome>();
}

// The body of MakeBody, byte for byte: an empty line, the delimiter, the part's header, the image
// and the closing delimiter.
QByteArray goldenBody(const QByteArray& image, const QByteArray& stamp) {
    const QByteArray boundary = QByteArray(27, '-') + stamp;
    return "\r\n--" + boundary +
           "\r\n"
           "Content-Disposition: form-data; name=\"/mpfsupload\"; "
           "filename=\"D:\\Monitor\\MPFSImg_DC.bin\"\r\n"
           "Content-Type: \r\n"
           "\r\n" +
           image + "\r\n--" + boundary + "--\r\n";
}

// The whole request of one upload to 127.0.0.1:port.
QByteArray goldenRequest(quint16 port, const QByteArray& image, const QByteArray& stamp,
                         const QByteArray& cookie = {}) {
    const QByteArray body = goldenBody(image, stamp);
    QByteArray head = "POST /mpfsupload HTTP/1.0\r\n"
                      "Connection: keep-alive\r\n"
                      "Content-Type: multipart/form-data; boundary=---------------------------" +
                      stamp + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                      "\r\n"
                      "Accept: text/html, */*\r\n"
                      "User-Agent: Mozilla/3.0 (compatible; HQ3746 Monitor)\r\n";
    if (!cookie.isEmpty()) {
        head += "Cookie: " + cookie + "\r\n";
    }
    return head + "\r\n" + body;
}

// A hostile web server on loopback: it reads the request and then sends `reply`, followed by
// `trickle` once every `everyMs` milliseconds for as long as the connection stays open (or, when
// `endless`, body bytes in 64 KiB writes as fast as the client takes them).
class HostileServer : public QObject {
public:
    HostileServer(QByteArray reply, QByteArray trickle, int everyMs, bool endless = false)
        : reply_(std::move(reply)), trickle_(std::move(trickle)), endless_(endless) {
        timer_.setInterval(everyMs);
        connect(&timer_, &QTimer::timeout, this, [this] {
            for (QTcpSocket* s : std::as_const(clients_))
                if (s->state() == QAbstractSocket::ConnectedState && !trickle_.isEmpty())
                    s->write(trickle_);
        });
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                ++connections_;
                clients_.append(s);
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    s->readAll();
                    if (s->property("answered").toBool())
                        return;
                    s->setProperty("answered", true);
                    s->write(reply_);
                    if (endless_)
                        s->write(QByteArray(65536, 'z'));
                    timer_.start();
                });
                if (endless_)
                    connect(s, &QTcpSocket::bytesWritten, s, [s] {
                        if (s->state() == QAbstractSocket::ConnectedState &&
                            s->bytesToWrite() < 65536)
                            s->write(QByteArray(65536, 'z'));
                    });
            }
        });
    }
    bool listen() { return server_.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server_.serverPort(); }
    int connections() const { return connections_; }

private:
    QTcpServer server_;
    QTimer timer_;
    QList<QTcpSocket*> clients_;
    QByteArray reply_;
    QByteArray trickle_;
    bool endless_;
    int connections_ = 0;
};

// A web server on loopback that takes the request slowly: `chunk` bytes every `everyMs`
// milliseconds and no more in between (its socket buffers only `chunk` bytes, so the kernel's
// buffers fill and the client's bytes go out at that pace). Once the whole request (head and
// Content-Length bytes of body) is in, it answers 200.
class SlowReader : public QObject {
public:
    SlowReader(qint64 chunk, int everyMs) : chunk_(chunk) {
        timer_.setInterval(everyMs);
        connect(&timer_, &QTimer::timeout, this, [this] {
            for (QTcpSocket* s : std::as_const(clients_))
                take(s);
        });
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                s->setReadBufferSize(chunk_);
                clients_.append(s);
            }
            timer_.start();
        });
    }
    bool listen() { return server_.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server_.serverPort(); }
    // Bytes of the request taken so far (head and body).
    qint64 received() const { return received_; }

private:
    void take(QTcpSocket* s) {
        const QByteArray got = s->read(chunk_);
        received_ += got.size();
        if (expected_ < 0) {
            head_ += got;
            const qsizetype end = head_.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const qsizetype at = head_.indexOf("\r\nContent-Length: ");
            if (at < 0 || at > end)
                return;
            const qsizetype from = at + 18;
            expected_ = end + 4 + head_.mid(from, head_.indexOf("\r\n", from) - from).toLongLong();
        }
        if (received_ >= expected_ && !answered_) {
            answered_ = true;
            s->write("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
        }
    }

    QTcpServer server_;
    QTimer timer_;
    QList<QTcpSocket*> clients_;
    qint64 chunk_;
    qint64 received_ = 0;
    QByteArray head_;
    qint64 expected_ = -1;
    bool answered_ = false;
};

} // namespace

class TestUpload : public QObject {
    Q_OBJECT
private slots:
    void goldenRequestHead();
    void portInHostLine();
    void cookieStore();
    void outcomes_data();
    void outcomes();
    void wholeRequestOnTheWire();
    void secondUploadSendsCookie();
    void largeImageInPieces();
    void refused();
    void unresolvableAddress_data();
    void unresolvableAddress();
    void oneUploadAtATime();
    void abort();
    void connectTimeout();
    void hostileRepliesEnd_data();
    void hostileRepliesEnd();
    void requestTakenSlowlyEndsWithinTheLimit_data();
    void requestTakenSlowlyEndsWithinTheLimit();
    void informationalStatusFails();
    void cookieLimits_data();
    void cookieLimits();
};

void TestUpload::goldenRequestHead() {
    hq::UploadRequestHead head;
    head.host = QStringLiteral("192.168.1.50");
    head.contentType = "multipart/form-data; boundary=---------------------------010324090507004";
    head.contentLength = 1206;
    QCOMPARE(hq::buildUploadRequestHead(head),
             QByteArray("POST /mpfsupload HTTP/1.0\r\n"
                        "Connection: keep-alive\r\n"
                        "Content-Type: multipart/form-data; "
                        "boundary=---------------------------010324090507004\r\n"
                        "Content-Length: 1206\r\n"
                        "Host: 192.168.1.50\r\n"
                        "Accept: text/html, */*\r\n"
                        "User-Agent: Mozilla/3.0 (compatible; HQ3746 Monitor)\r\n"
                        "\r\n"));
    head.cookie = "session=abc; lang=de";
    QVERIFY(hq::buildUploadRequestHead(head).endsWith(
        "User-Agent: Mozilla/3.0 (compatible; HQ3746 Monitor)\r\n"
        "Cookie: session=abc; lang=de\r\n\r\n"));
}

void TestUpload::portInHostLine() {
    hq::UploadRequestHead head;
    head.host = QStringLiteral("127.0.0.1");
    head.port = 8080;
    QVERIFY(hq::buildUploadRequestHead(head).contains("\r\nHost: 127.0.0.1:8080\r\n"));
}

void TestUpload::cookieStore() {
    hq::CookieStore store;
    QVERIFY(store.isEmpty());
    store.store(QStringLiteral("10.0.0.7"),
                {"a=1; Path=/; HttpOnly", "b = 2 ", "=nameless", "junk"});
    QCOMPARE(store.cookieHeader(QStringLiteral("10.0.0.7")), QByteArray("a=1; b=2"));
    store.store(QStringLiteral("10.0.0.7"), {"a=3"});
    QCOMPARE(store.cookieHeader(QStringLiteral("10.0.0.7")), QByteArray("a=3; b=2"));
    store.store(QStringLiteral("10.0.0.7"), {"b=; Max-Age=0"});
    QCOMPARE(store.cookieHeader(QStringLiteral("10.0.0.7")), QByteArray("a=3"));
    QCOMPARE(store.cookieHeader(QStringLiteral("10.0.0.8")), QByteArray());
}

void TestUpload::outcomes_data() {
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<Result>("result");
    QTest::addColumn<int>("status");

    QTest::newRow("200") << Behaviour{} << Result::Success << 200;
    Behaviour redirect;
    redirect.status = 302;
    redirect.reason = "Found";
    redirect.location = "http://127.0.0.1/elsewhere";
    QTest::newRow("302 not followed") << redirect << Result::HttpStatus << 302;
    Behaviour error;
    error.status = 500;
    error.reason = "Internal Server Error";
    QTest::newRow("500") << error << Result::HttpStatus << 500;
    Behaviour unauthorized;
    unauthorized.status = 401;
    QTest::newRow("401 no credentials") << unauthorized << Result::HttpStatus << 401;
    Behaviour chunked;
    chunked.chunked = true;
    QTest::newRow("chunked 200") << chunked << Result::Success << 200;
    Behaviour noContent;
    noContent.status = 204;
    noContent.body.clear();
    QTest::newRow("204") << noContent << Result::Success << 204;
    Behaviour mid;
    mid.ending = Behaviour::Ending::CloseMidReply;
    QTest::newRow("closed inside the body") << mid << Result::ConnectionLost << 200;
    Behaviour silent;
    silent.ending = Behaviour::Ending::CloseBeforeReply;
    QTest::newRow("closed without reply") << silent << Result::ConnectionLost << 0;
    Behaviour stall;
    stall.ending = Behaviour::Ending::Stall;
    QTest::newRow("stall gives time-out") << stall << Result::TimedOut << 0;
}

void TestUpload::outcomes() {
    QFETCH(Behaviour, behaviour);
    QFETCH(Result, result);
    QFETCH(int, status);
    hq::sim::UploadServer server;
    QVERIFY(server.listen());
    server.setBehaviour(behaviour);
    UploadClient client;
    client.setPort(server.port());
    client.setReplyTimeout(300);
    const auto body = makeBody("\x01\x02\x03\x04");
    QSignalSpy progress(&client, &UploadClient::progress);
    const UploadOutcome outcome = runUpload(client, QStringLiteral("127.0.0.1"), *body);
    QCOMPARE(outcome.result, result);
    QCOMPARE(outcome.httpStatus, status);
    QCOMPARE(outcome.ok(), result == Result::Success);
    QVERIFY(!client.isRunning());
    // The server got the whole, well-formed upload in every case.
    QCOMPARE(server.uploads().size(), 1);
    QCOMPARE(server.uploads().first().problem, QString());
    QCOMPARE(server.lastImage(), QByteArray("\x01\x02\x03\x04"));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toLongLong(), body->size());
    QCOMPARE(progress.last().at(1).toLongLong(), body->size());
    QVERIFY(!hq::describeUploadOutcome(outcome).isEmpty());
}

void TestUpload::wholeRequestOnTheWire() {
    hq::sim::UploadServer server;
    QVERIFY(server.listen());
    UploadClient client;
    client.setPort(server.port());
    const auto body = makeBody("\x01\x02\x03\x04");
    QCOMPARE(runUpload(client, QStringLiteral("127.0.0.1"), *body).result, Result::Success);
    const hq::sim::ReceivedUpload& got = server.uploads().first();
    const QByteArray expected = goldenRequest(server.port(), "\x01\x02\x03\x04", "010324090507004");
    QCOMPARE(got.requestHead + got.body, expected);
    QCOMPARE(got.body.size(), 210);
    QVERIFY(got.requestHead.contains("\r\nContent-Length: 210\r\n"));
    QCOMPARE(got.fileName, QByteArray("D:\\Monitor\\MPFSImg_DC.bin"));
}

void TestUpload::secondUploadSendsCookie() {
    // The first reply sets a cookie; the second request, on a new connection with its own
    // boundary, sends it back in the last header line.
    hq::sim::UploadServer server;
    QVERIFY(server.listen());
    Behaviour withCookie;
    withCookie.setCookie = "session=4711; Path=/";
    server.setBehaviour(withCookie);
    UploadClient client;
    client.setPort(server.port());
    const auto first = makeBody("one");
    QCOMPARE(runUpload(client, QStringLiteral("127.0.0.1"), *first).result, Result::Success);
    server.setBehaviour(Behaviour{});
    const auto second = makeBody("two", kTime.addMSecs(1));
    QCOMPARE(runUpload(client, QStringLiteral("127.0.0.1"), *second).result, Result::Success);
    QCOMPARE(server.connectionsSeen(), 2);
    const hq::sim::ReceivedUpload& got1 = server.uploads().at(0);
    const hq::sim::ReceivedUpload& got2 = server.uploads().at(1);
    QCOMPARE(got1.requestHead + got1.body, goldenRequest(server.port(), "one", "010324090507004"));
    QCOMPARE(got2.requestHead + got2.body,
             goldenRequest(server.port(), "two", "010324090507005", "session=4711"));
    QCOMPARE(server.lastImage(), QByteArray("two"));
    // Cookies belong to their host only.
    QCOMPARE(client.cookies().cookieHeader(QStringLiteral("127.0.0.2")), QByteArray());
}

void TestUpload::largeImageInPieces() {
    hq::sim::UploadServer server;
    QVERIFY(server.listen());
    UploadClient client;
    client.setPort(server.port());
    QByteArray image(300000, '\0');
    for (int i = 0; i < image.size(); ++i) {
        image[i] = static_cast<char>(i * 7 + i / 251);
    }
    const auto body = makeBody(image);
    QSignalSpy progress(&client, &UploadClient::progress);
    QCOMPARE(runUpload(client, QStringLiteral("127.0.0.1"), *body).result, Result::Success);
    QCOMPARE(server.lastImage(), image);
    QVERIFY(progress.size() >= 2);
    qint64 previous = 0;
    for (const auto& p : progress) {
        QVERIFY(p.at(0).toLongLong() > previous);
        previous = p.at(0).toLongLong();
    }
    QCOMPARE(previous, body->size());
}

void TestUpload::refused() {
    if (hq::test::runningUnderWine())
        QSKIP("Wine reports a connection to a closed loopback port as a time-out, not as refused");
    QTcpServer probe; // take a free port and close it again: nobody listens there
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    UploadClient client;
    client.setPort(port);
    const auto body = makeBody("x");
    const UploadOutcome outcome = runUpload(client, QStringLiteral("127.0.0.1"), *body);
    QCOMPARE(outcome.result, Result::Refused);
    QVERIFY(!outcome.ok());
}

void TestUpload::unresolvableAddress_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("empty group") << "192.168..50";
    QTest::newRow("group above 255") << "192.168.1.256";
    QTest::newRow("three groups") << "10.0.7";
    QTest::newRow("empty field") << "...";
}

void TestUpload::unresolvableAddress() {
    // Digits and dots that make no address fail at once, without a name look-up.
    QFETCH(QString, host);
    UploadClient client;
    client.setPort(9);
    const auto body = makeBody("x");
    QElapsedTimer timer;
    timer.start();
    const UploadOutcome outcome = runUpload(client, host, *body);
    QCOMPARE(outcome.result, Result::HostNotFound);
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(!client.isRunning());
}

void TestUpload::oneUploadAtATime() {
    hq::sim::UploadServer server;
    QVERIFY(server.listen());
    Behaviour stall;
    stall.ending = Behaviour::Ending::Stall;
    server.setBehaviour(stall);
    UploadClient client;
    client.setPort(server.port());
    client.setReplyTimeout(300);
    const auto body = makeBody("x");
    QSignalSpy done(&client, &UploadClient::finished);
    QVERIFY(client.start(QStringLiteral("127.0.0.1"), *body));
    QVERIFY(client.isRunning());
    QVERIFY(!client.start(QStringLiteral("127.0.0.1"), *body));
    QVERIFY(done.wait(5000));
    QCOMPARE(done.size(), 1);
    QCOMPARE(done.first().first().value<UploadOutcome>().result, Result::TimedOut);
    // Afterwards the next upload may start; an unfinished body is refused.
    hq::MultipartFormDataStream unfinished(kTime);
    QVERIFY(!client.start(QStringLiteral("127.0.0.1"), unfinished));
    server.setBehaviour(Behaviour{});
    QCOMPARE(runUpload(client, QStringLiteral("127.0.0.1"), *body).result, Result::Success);
}

void TestUpload::abort() {
    hq::sim::UploadServer server;
    QVERIFY(server.listen());
    Behaviour stall;
    stall.ending = Behaviour::Ending::Stall;
    server.setBehaviour(stall);
    UploadClient client;
    client.setPort(server.port());
    const auto body = makeBody("x");
    QSignalSpy done(&client, &UploadClient::finished);
    QVERIFY(client.start(QStringLiteral("127.0.0.1"), *body));
    QTRY_COMPARE(server.uploads().size(), 1);
    client.abort();
    QCOMPARE(done.size(), 1);
    QCOMPARE(done.first().first().value<UploadOutcome>().result, Result::Aborted);
    QVERIFY(!client.isRunning());
    QTest::qWait(50);
    QCOMPARE(done.size(), 1); // reported once
}

void TestUpload::connectTimeout() {
#ifdef Q_OS_LINUX
    // A loopback listener whose accept queue is full: Linux drops further connection requests, so
    // the client's connection attempt hangs until its time limit.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    QCOMPARE(::listen(fd, 0), 0);
    socklen_t len = sizeof addr;
    QCOMPARE(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const quint16 port = ntohs(addr.sin_port);
    QTcpSocket fillers[3];
    for (QTcpSocket& f : fillers) {
        f.connectToHost(QHostAddress::LocalHost, port);
    }
    QTest::qWait(200);

    UploadClient client;
    client.setPort(port);
    client.setConnectTimeout(400);
    const auto body = makeBody("x");
    QElapsedTimer timer;
    timer.start();
    const UploadOutcome outcome = runUpload(client, QStringLiteral("127.0.0.1"), *body);
    ::close(fd);
    QCOMPARE(outcome.result, Result::TimedOut);
    QVERIFY(outcome.detail.contains(QStringLiteral("no connection within 400 ms")));
    QVERIFY2(timer.elapsed() >= 399, QByteArray::number(timer.elapsed()));
    QVERIFY(!client.isRunning());
#else
    QSKIP("needs Linux's handling of a full accept queue");
#endif
}

void TestUpload::hostileRepliesEnd_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("trickle");
    QTest::addColumn<bool>("endless");
    QTest::addColumn<Result>("result");
    QTest::addColumn<QString>("detail");
    // Each trickled piece comes well within the limit, so a limit restarted by every byte would
    // keep the upload alive for ever.
    QTest::newRow("100 Continue lines one byte at a time")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 1") << QByteArray("0") << false
        << Result::TimedOut << "no complete reply within";
    QTest::newRow("endless body trickled")
        << QByteArray("HTTP/1.0 200 OK\r\n\r\n") << QByteArray("z") << false << Result::TimedOut
        << "no complete reply within";
    QTest::newRow("endless row of 100 Continue")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n") << false << Result::MalformedReply
        << "more than 8 interim replies";
    QTest::newRow("endless body at full speed")
        << QByteArray("HTTP/1.0 200 OK\r\n\r\n") << QByteArray() << true << Result::MalformedReply
        << "larger than 1 MiB";
}

void TestUpload::hostileRepliesEnd() {
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, trickle);
    QFETCH(bool, endless);
    QFETCH(Result, result);
    QFETCH(QString, detail);
    HostileServer server(reply, trickle, 50, endless);
    QVERIFY(server.listen());
    UploadClient client;
    client.setPort(server.port());
    const int limit = 1500;
    client.setReplyTimeout(limit);
    const auto body = makeBody("image");
    QElapsedTimer clock;
    clock.start();
    const UploadOutcome outcome = runUpload(client, QStringLiteral("127.0.0.1"), *body, 20000);
    QCOMPARE(outcome.result, result);
    QVERIFY2(outcome.detail.contains(detail), qPrintable(outcome.detail));
    QVERIFY2(clock.elapsed() < limit + 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(client.reply().body().size() <= hq::HttpReplyParser::kMaxBody);
    // The failed upload is over: the next one starts and makes a new connection.
    QVERIFY(!client.isRunning());
    QSignalSpy done(&client, &UploadClient::finished);
    QVERIFY(client.start(QStringLiteral("127.0.0.1"), *body));
    QTRY_COMPARE_WITH_TIMEOUT(server.connections(), 2, 5000);
    client.abort();
    QCOMPARE(done.size(), 1);
}

void TestUpload::requestTakenSlowlyEndsWithinTheLimit_data() {
    QTest::addColumn<int>("imageSize");
    QTest::addColumn<Result>("result");
    // The server takes 64 KiB every 50 ms: bytes keep going out well within the limit, so a limit
    // restarted by every byte taken would let an 8 MiB request run for many seconds.
    QTest::newRow("8 MiB taken at 1.3 MB/s") << 8 * 1024 * 1024 << Result::TimedOut;
    QTest::newRow("100 kB taken at 1.3 MB/s") << 100 * 1000 << Result::Success;
}

void TestUpload::requestTakenSlowlyEndsWithinTheLimit() {
    QFETCH(int, imageSize);
    QFETCH(Result, result);
    SlowReader server(65536, 50);
    QVERIFY(server.listen());
    UploadClient client;
    client.setPort(server.port());
    const int limit = 1000;
    client.setReplyTimeout(limit);
    const auto body = makeBody(QByteArray(imageSize, 'i'));
    QElapsedTimer clock;
    clock.start();
    const UploadOutcome outcome = runUpload(client, QStringLiteral("127.0.0.1"), *body, 30000);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(outcome.result, result);
    QVERIFY2(elapsed < limit + 1500, qPrintable(QString::number(elapsed)));
    if (result == Result::TimedOut) {
        QVERIFY2(outcome.detail.contains(QStringLiteral("request not sent within 1000 ms")),
                 qPrintable(outcome.detail));
        QVERIFY2(elapsed >= limit - 50, qPrintable(QString::number(elapsed)));
        // It was given up while the body was still going out.
        QVERIFY(server.received() < body->size());
    }
    QVERIFY(!client.isRunning());
}

void TestUpload::informationalStatusFails() {
    // Only 100 is skipped; 101 is the final reply, a failure with its status line.
    HostileServer server("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", {},
                         1000);
    QVERIFY(server.listen());
    UploadClient client;
    client.setPort(server.port());
    const auto body = makeBody("image");
    const UploadOutcome outcome = runUpload(client, QStringLiteral("127.0.0.1"), *body);
    QCOMPARE(outcome.result, Result::HttpStatus);
    QCOMPARE(outcome.httpStatus, 101);
    QCOMPARE(outcome.detail, QStringLiteral("Switching Protocols"));
    QCOMPARE(hq::describeUploadOutcome(outcome),
             QStringLiteral("MPFS upload failed: HTTP 101 Switching Protocols"));
}

void TestUpload::cookieLimits_data() {
    QTest::addColumn<QList<QByteArray>>("setCookies");
    QTest::addColumn<QByteArray>("header");
    QTest::newRow("CR LF refused")
        << QList<QByteArray>{"a=1", "evil=1\r\nX-Injected: yes", "b=2"} << QByteArray("a=1; b=2");
    QTest::newRow("lone CR, LF, NUL, DEL and other control bytes refused")
        << QList<QByteArray>{QByteArray("c=x\ry"), QByteArray("d=x\ny"), QByteArray("e=x\0y", 5),
                             QByteArray("f=\x7f"), QByteArray("g=\x01"), QByteArray("h\x1f=1"),
                             QByteArray("ok=1")}
        << QByteArray("ok=1");
    QTest::newRow("control byte only in an attribute is harmless")
        << QList<QByteArray>{"a=1; Path=/\x01"} << QByteArray("a=1");
    QTest::newRow("4096 bytes kept, 4097 refused")
        << QList<QByteArray>{"big=" + QByteArray(4093, 'v'), "huge=" + QByteArray(4093, 'v')}
        << QByteArray("big=" + QByteArray(4093, 'v'));
    QList<QByteArray> sixty;
    QList<QByteArray> newest;
    for (int i = 0; i < 60; ++i) {
        sixty.append("c" + QByteArray::number(i) + "=" + QByteArray::number(i));
        if (i >= 10)
            newest.append(sixty.last());
    }
    QTest::newRow("60 cookies: the newest 50 kept") << sixty << newest.join("; ");
    // A replaced cookie keeps its place but counts as set anew: the next one to go is c1.
    QList<QByteArray> renewed = sixty.mid(0, 50);
    renewed << "c0=new"
            << "x=1";
    QList<QByteArray> kept = {"c0=new"};
    kept += sixty.mid(2, 48);
    kept << "x=1";
    QTest::newRow("a replaced cookie counts as new") << renewed << kept.join("; ");
}

void TestUpload::cookieLimits() {
    QFETCH(QList<QByteArray>, setCookies);
    QFETCH(QByteArray, header);
    hq::CookieStore store;
    store.store(QStringLiteral("10.0.0.7"), setCookies);
    QCOMPARE(store.cookieHeader(QStringLiteral("10.0.0.7")), header);
    QVERIFY(store.count(QStringLiteral("10.0.0.7")) <= hq::CookieStore::kMaxCookiesPerHost);
    // Over many replies the limit holds as well, the newest winning.
    for (int reply = 0; reply < 30; ++reply) {
        QList<QByteArray> more;
        for (int i = 0; i < 1000; ++i)
            more.append("r" + QByteArray::number(reply) + "_" + QByteArray::number(i) + "=x");
        store.store(QStringLiteral("10.0.0.7"), more);
    }
    QCOMPARE(store.count(QStringLiteral("10.0.0.7")), hq::CookieStore::kMaxCookiesPerHost);
    QVERIFY(store.cookieHeader(QStringLiteral("10.0.0.7")).endsWith("r29_999=x"));
}

QTEST_GUILESS_MAIN(TestUpload)
#include "test_upload.moc"
