// The metrics server over real TCP connections on 127.0.0.1: every request gets its answer and
// its connection closed; heads too large, clients that never finish and clients beyond the cap
// are dealt with; and the --metrics value is read as written or refused with a reason.
#include "fleet/metrics_server.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTest>

#include <chrono>
#include <memory>

using hq::fleet::MetricsServer;
using hq::fleet::parseListenAddress;
using namespace std::chrono_literals;

namespace {

// A client of the server: connects, sends, and keeps what comes back.
class Client {
public:
    explicit Client(quint16 port) {
        socket_.setProxy(QNetworkProxy::NoProxy);
        QObject::connect(&socket_, &QTcpSocket::readyRead,
                         [this] { received_ += socket_.readAll(); });
        socket_.connectToHost(QHostAddress::LocalHost, port);
    }
    bool waitConnected() {
        return QTest::qWaitFor(
            [this] { return socket_.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    void send(const QByteArray& bytes) { socket_.write(bytes); }
    // Waits until the server has closed the connection.
    bool waitClosed(int ms = 5000) {
        return QTest::qWaitFor(
            [this] { return socket_.state() == QAbstractSocket::UnconnectedState; }, ms);
    }
    bool isOpen() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    QByteArray received() { return received_ + socket_.readAll(); }

private:
    QTcpSocket socket_;
    QByteArray received_;
};

// Sends one request and returns all that came back before the server closed the connection.
QByteArray exchange(quint16 port, const QByteArray& request) {
    Client c(port);
    if (!c.waitConnected())
        return "not connected";
    c.send(request);
    if (!c.waitClosed())
        return "not closed";
    return c.received();
}

const QByteArray kGet = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

} // namespace

class TestMetricsServer : public QObject {
    Q_OBJECT
private slots:
    void init();
    void answersByMethodAndPath_data();
    void answersByMethodAndPath();
    void eachGetMakesTheNewestPage();
    void headOverTheLimitClosesWithoutAnAnswer_data();
    void headOverTheLimitClosesWithoutAnAnswer();
    void clientThatNeverFinishesItsHeadIsClosed_data();
    void clientThatNeverFinishesItsHeadIsClosed();
    void twoClientsAtOnceAreBothAnswered();
    void clientsBeyondTheCapWaitForAFreeConnection();
    void listeningOnATakenPortFails();
    void listenAddressIsReadAsWritten_data();
    void listenAddressIsReadAsWritten();

private:
    std::unique_ptr<MetricsServer> server_;
    int pagesMade_ = 0;
};

void TestMetricsServer::init() {
    server_ = std::make_unique<MetricsServer>();
    pagesMade_ = 0;
    server_->setPage([this] {
        ++pagesMade_;
        return "hq3746_up{serial=\"1\"} 1\n# page " + std::to_string(pagesMade_) + "\n";
    });
    const auto listening = server_->listen(QHostAddress::LocalHost, 0);
    QVERIFY2(listening.ok(), listening.ok() ? "" : listening.error().message.c_str());
    QVERIFY(server_->serverPort() != 0);
}

void TestMetricsServer::answersByMethodAndPath_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("GET /metrics") << kGet << QByteArray("HTTP/1.1 200 OK")
                                  << QByteArray("hq3746_up{serial=\"1\"} 1\n# page 1\n");
    QTest::newRow("GET / is not found")
        << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n") << QByteArray("HTTP/1.1 404 Not Found")
        << QByteArray("Not Found\n");
    QTest::newRow("POST /metrics is not allowed")
        << QByteArray("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nabcd")
        << QByteArray("HTTP/1.1 405 Method Not Allowed") << QByteArray("Method Not Allowed\n");
    QTest::newRow("not HTTP") << QByteArray("hello\r\n") << QByteArray("HTTP/1.1 400 Bad Request")
                              << QByteArray("Bad Request\n");
}

void TestMetricsServer::answersByMethodAndPath() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, statusLine);
    QFETCH(QByteArray, body);
    const QByteArray reply = exchange(server_->serverPort(), request);
    QVERIFY2(reply.startsWith(statusLine + "\r\n"), reply.constData());
    const qsizetype headEnd = reply.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    const QByteArray head = reply.left(headEnd + 2);
    QCOMPARE(reply.mid(headEnd + 4), body);
    QVERIFY(head.contains("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"));
    QVERIFY(head.contains("\r\nConnection: close\r\n"));
    QCOMPARE(head.contains("\r\nAllow: GET\r\n"), statusLine.contains("405"));
    QCOMPARE(pagesMade_, statusLine.contains("200") ? 1 : 0);
    QTRY_COMPARE(server_->openConnections(), 0);
}

void TestMetricsServer::eachGetMakesTheNewestPage() {
    QVERIFY(exchange(server_->serverPort(), kGet).endsWith("# page 1\n"));
    QVERIFY(exchange(server_->serverPort(), kGet).endsWith("# page 2\n"));
}

void TestMetricsServer::headOverTheLimitClosesWithoutAnAnswer_data() {
    QTest::addColumn<int>("headSize");
    QTest::addColumn<bool>("answered");
    QTest::newRow("8192 bytes are answered") << 8192 << true;
    QTest::newRow("8193 bytes are not") << 8193 << false;
    QTest::newRow("a megabyte is not") << 1024 * 1024 << false;
}

void TestMetricsServer::headOverTheLimitClosesWithoutAnAnswer() {
    QFETCH(int, headSize);
    QFETCH(bool, answered);
    server_->setConnectionTimeout(60s); // so that only the size can close it
    const QByteArray start = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: ";
    const QByteArray request = start + QByteArray(headSize - start.size() - 4, 'a') + "\r\n\r\n";
    QElapsedTimer clock;
    clock.start();
    Client c(server_->serverPort());
    QVERIFY(c.waitConnected());
    c.send(request);
    // The server lets the connection go (seen from its side: a client still writing a megabyte
    // need not see the close at once on every system).
    QTest::qWait(200); // taken up by the server
    QTRY_COMPARE_WITH_TIMEOUT(server_->openConnections(), 0, 5000);
    QVERIFY(clock.elapsed() < 5000);
    if (answered)
        QVERIFY(c.waitClosed());
    else
        c.waitClosed(500);
    const QByteArray reply = c.received();
    QCOMPARE(reply.startsWith("HTTP/1.1 200 OK\r\n"), answered);
    if (!answered) {
        QCOMPARE(reply, QByteArray());
        QCOMPARE(pagesMade_, 0);
    }
}

void TestMetricsServer::clientThatNeverFinishesItsHeadIsClosed_data() {
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("nothing sent") << QByteArray();
    QTest::newRow("half a request line") << QByteArray("GET /metr");
    QTest::newRow("no empty line") << QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\n");
}

void TestMetricsServer::clientThatNeverFinishesItsHeadIsClosed() {
    QFETCH(QByteArray, sent);
    server_->setConnectionTimeout(400ms);
    Client c(server_->serverPort());
    QVERIFY(c.waitConnected());
    QElapsedTimer clock;
    clock.start();
    c.send(sent);
    QVERIFY(c.waitClosed(5000));
    QVERIFY2(clock.elapsed() >= 300, QByteArray::number(clock.elapsed()).constData());
    QCOMPARE(c.received(), QByteArray());
    QTRY_COMPARE(server_->openConnections(), 0);
}

void TestMetricsServer::twoClientsAtOnceAreBothAnswered() {
    Client slow(server_->serverPort());
    QVERIFY(slow.waitConnected());
    slow.send(kGet.left(20));
    Client quick(server_->serverPort());
    QVERIFY(quick.waitConnected());
    quick.send(kGet);
    QVERIFY(quick.waitClosed());
    QVERIFY(quick.received().startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(slow.isOpen());
    QTRY_COMPARE(server_->openConnections(), 1);
    slow.send(kGet.mid(20));
    QVERIFY(slow.waitClosed());
    QVERIFY(slow.received().startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(slow.received().endsWith("# page 2\n"));
}

void TestMetricsServer::clientsBeyondTheCapWaitForAFreeConnection() {
    server_->setMaxConnections(2);
    Client first(server_->serverPort());
    Client second(server_->serverPort());
    QVERIFY(first.waitConnected());
    QVERIFY(second.waitConnected());
    QTRY_COMPARE(server_->openConnections(), 2);
    first.send("GET /metrics");
    second.send("GET /metrics");
    Client third(server_->serverPort());
    QVERIFY(third.waitConnected()); // by the system's listen queue
    third.send(kGet);
    QTest::qWait(300);
    QCOMPARE(server_->openConnections(), 2);
    QCOMPARE(third.received(), QByteArray());
    QVERIFY(third.isOpen());
    first.send(" HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(first.waitClosed());
    QVERIFY(first.received().startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(third.waitClosed());
    QVERIFY(third.received().startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(second.isOpen());
}

void TestMetricsServer::listeningOnATakenPortFails() {
    MetricsServer other;
    const auto listening = other.listen(QHostAddress::LocalHost, server_->serverPort());
    QVERIFY(!listening.ok());
    QVERIFY2(QString::fromStdString(listening.error().message)
                 .contains(QStringLiteral("127.0.0.1:%1").arg(server_->serverPort())),
             listening.error().message.c_str());
    QCOMPARE(other.serverPort(), quint16(0));
}

void TestMetricsServer::listenAddressIsReadAsWritten_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("a port alone") << "9100"
                                  << "127.0.0.1" << 9100;
    QTest::newRow("IPv4 and port") << "127.0.0.1:9100"
                                   << "127.0.0.1" << 9100;
    QTest::newRow("all IPv4 interfaces") << "0.0.0.0:1"
                                         << "0.0.0.0" << 1;
    QTest::newRow("highest port") << "192.168.1.20:65535"
                                  << "192.168.1.20" << 65535;
    QTest::newRow("IPv6 in brackets") << "[::1]:9100"
                                      << "::1" << 9100;
    QTest::newRow("IPv6 written out") << "[fe80:0:0:0:0:0:0:1]:80"
                                      << "fe80::1" << 80;
    const QStringList refused = {"",
                                 "0",
                                 "65536",
                                 "99999999999",
                                 "-1",
                                 "+9100",
                                 " 9100",
                                 "9100 ",
                                 "9100x",
                                 "127.0.0.1",
                                 "127.0.0.1:",
                                 ":9100",
                                 "localhost:9100",
                                 "127.1:9100",
                                 "256.0.0.1:9100",
                                 "1.2.3.4.5:9100",
                                 "::1:9100",
                                 "[::1]",
                                 "[::1]9100",
                                 "[::1:9100",
                                 "[127.0.0.1]:9100",
                                 "[]:9100",
                                 "127.0.0.1:0"};
    for (const QString& text : refused)
        QTest::newRow(qPrintable("refused: \"" + text + '"')) << text << QString() << 0;
}

void TestMetricsServer::listenAddressIsReadAsWritten() {
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(int, port);
    const auto parsed = parseListenAddress(text);
    if (address.isEmpty()) {
        QVERIFY(!parsed.ok());
        const QString message = QString::fromStdString(parsed.error().message);
        QVERIFY2(message.contains('"' + text + '"') && message.contains(QStringLiteral("PORT")),
                 qPrintable(message));
        return;
    }
    QVERIFY2(parsed.ok(), parsed.ok() ? "" : parsed.error().message.c_str());
    QCOMPARE(parsed->first, QHostAddress(address));
    QCOMPARE(int(parsed->second), port);
}

QTEST_GUILESS_MAIN(TestMetricsServer)
#include "test_metrics_server.moc"
