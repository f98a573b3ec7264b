// hq3746ctl discover and upload against the simulated cabinet's network side on loopback.
#include "cli_test_support.h"

#include "sim/net_discovery_responder.h"
#include "sim/net_upload_server.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

using namespace hq;
using namespace hq::cli;
using namespace hq::cli::test;

namespace {

// A loopback port on which nobody listens (bound and released again).
quint16 closedTcpPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const quint16 port = s.serverPort();
    s.close();
    return port;
}

QString writeImage(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

} // namespace

class TestCliNetwork : public QObject {
    Q_OBJECT
private slots:
    void discoverListsAnswers_data();
    void discoverListsAnswers();
    void discoverJsonAddsMemoLines();
    void discoverWithoutAnswer();
    void uploadSendsTheWindowsRequest_data();
    void uploadSendsTheWindowsRequest();
    void uploadDefaultImageBesideExecutable();
    void uploadFailures_data();
    void uploadFailures();
    void timeoutBoundsATrickledReply();
};

void TestCliNetwork::discoverListsAnswers_data() {
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<char>("finalByte");
    QTest::addColumn<int>("answers");
    QTest::addColumn<QString>("expected");
    QTest::newRow("CR LF line end") << QByteArray("Raum 12\r") << '\n'
                                    << 1 << "127.0.0.1 - Raum 12\n";
    QTest::newRow("last byte always dropped")
        << QByteArray("Raum 1") << '2' << 1 << "127.0.0.1 - Raum 1\n";
    QTest::newRow("empty description") << QByteArray() << 'x' << 1 << "127.0.0.1 - \n";
    QTest::newRow("answering twice is listed twice")
        << QByteArray(" Schrank 3 ") << '\0' << 2
        << "127.0.0.1 - Schrank 3\n127.0.0.1 - Schrank 3\n";
}

void TestCliNetwork::discoverListsAnswers() {
    QFETCH(QByteArray, description);
    QFETCH(char, finalByte);
    QFETCH(int, answers);
    QFETCH(QString, expected);
    sim::DiscoveryResponder responder;
    QVERIFY(responder.listen(QHostAddress::LocalHost, 0));
    responder.setDescription(description);
    responder.setFinalByte(finalByte);
    responder.setAnswersPerRequest(answers);
    const Outcome o = runCli({"discover", "--address", "127.0.0.1", "--port",
                              QString::number(responder.port()), "--wait", "0.5"},
                             offlineEnvironment());
    QCOMPARE(o.err, QString());
    QCOMPARE(o.code, 0);
    QCOMPARE(o.out, expected);
    QCOMPARE(responder.requestsSeen(), 1);
}

void TestCliNetwork::discoverJsonAddsMemoLines() {
    sim::DiscoveryResponder responder;
    QVERIFY(responder.listen(QHostAddress::LocalHost, 0));
    responder.setDescription("Raum 12\r");
    responder.setFinalByte('\n');
    // Something else answers the tool's socket too: it is not listed, its head goes to the memo.
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress::LocalHost, 0));
    connect(&responder, &sim::DiscoveryResponder::requestAnswered, this,
            [&](const QHostAddress& sender, quint16 port) {
                stranger.writeDatagram("hq3746 other", sender, port);
            });
    const Outcome o = runCli({"discover", "--json", "--address=127.0.0.1",
                              "--port=" + QString::number(responder.port()), "--wait=0.4"},
                             offlineEnvironment());
    QCOMPARE(o.code, 0);
    const QJsonObject j = QJsonDocument::fromJson(o.out.toUtf8()).object();
    QCOMPARE(j["entries"].toArray(), QJsonArray{"127.0.0.1 - Raum 12"});
    const QJsonArray memo = j["memo"].toArray();
    QCOMPARE(memo.size(), 4);
    QCOMPARE(memo[0].toString(), QStringLiteral("Sending Discovery: Who is out there?"));
    QCOMPARE(memo[1].toString(), QStringLiteral("Received: HQ3746Raum 12\r\n127.0.0.1"));
    QCOMPARE(memo[2].toString(), QStringLiteral("Received: hq3746 other127.0.0.1"));
    QCOMPARE(memo[3].toString(), QStringLiteral("hq3746"));
}

void TestCliNetwork::discoverWithoutAnswer() {
    // A bound socket that never answers.
    QUdpSocket quiet;
    QVERIFY(quiet.bind(QHostAddress::LocalHost, 0));
    const Outcome o = runCli({"discover", "--address", "127.0.0.1", "--port",
                              QString::number(quiet.localPort()), "--wait", "0.3"},
                             offlineEnvironment());
    QCOMPARE(o.code, 2);
    QCOMPARE(o.out, QString());
    QVERIFY(o.err.contains(QStringLiteral("no cabinet answered")));
    QVERIFY(quiet.hasPendingDatagrams());
    QCOMPARE(quiet.receiveDatagram().data(), QByteArray("Discovery: Who is out there?"));
}

void TestCliNetwork::uploadSendsTheWindowsRequest_data() {
    QTest::addColumn<QString>("address");
    QTest::newRow("plain address") << "127.0.0.1";
    // The form the monitor's address field shows, groups padded with blanks.
    QTest::newRow("padded like the address field") << "127.  0.  0.  1";
}

void TestCliNetwork::uploadSendsTheWindowsRequest() {
    QFETCH(QString, address);
    QTemporaryDir dir;
    QByteArray image(3000, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 7);
    const QString path = writeImage(dir, QStringLiteral("web.bin"), image);
    sim::UploadServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const Outcome o =
        runCli({"upload", "--address", address, "--port", QString::number(server.port()), path},
               offlineEnvironment());
    QCOMPARE(o.err, QString());
    QCOMPARE(o.code, 0);
    QVERIFY(o.out.contains(QStringLiteral("HTTP 200")));
    QCOMPARE(server.uploads().size(), 1);
    const sim::ReceivedUpload& u = server.uploads().first();
    QCOMPARE(u.problem, QString());
    QCOMPARE(u.image, image);
    QCOMPARE(u.fieldName, QByteArray("/mpfsupload"));
    QCOMPARE(u.fileName, QDir::toNativeSeparators(path).toUtf8()); // the path as given
    QVERIFY(u.requestHead.startsWith("POST /mpfsupload HTTP/1.0\r\n"));
    QVERIFY(u.requestHead.contains("\r\nUser-Agent: Mozilla/3.0 (compatible; HQ3746 Monitor)\r\n"));
    QVERIFY(u.requestHead.contains("\r\nAccept: text/html, */*\r\n"));
    QVERIFY(u.requestHead.contains("\r\nContent-Type: multipart/form-data; boundary="));
}

void TestCliNetwork::uploadDefaultImageBesideExecutable() {
    QTemporaryDir dir;
    writeImage(dir, QStringLiteral("MPFSImg_DC.bin"), "IMAGE");
    sim::UploadServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    Environment env = offlineEnvironment();
    env.applicationDir = dir.path() + QLatin1Char('/');
    const Outcome o = runCli(
        {"upload", "--json", "--address", "127.0.0.1", "--port", QString::number(server.port())},
        env);
    QCOMPARE(o.code, 0);
    QCOMPARE(server.lastImage(), QByteArray("IMAGE"));
    QCOMPARE(server.uploads().first().fileName,
             QDir::toNativeSeparators(dir.path() + QStringLiteral("/MPFSImg_DC.bin")).toUtf8());
    const QJsonObject j = QJsonDocument::fromJson(o.out.toUtf8()).object();
    QCOMPARE(j["ok"].toBool(), true);
    QCOMPARE(j["address"].toString(), QStringLiteral("127.0.0.1"));
    QVERIFY(server.uploads().first().requestHead.contains("\r\nHost: 127.0.0.1"));
    QCOMPARE(j["httpStatus"].toInt(), 200);
}

void TestCliNetwork::uploadFailures_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("redirect is not followed") << "302" << 5 << "HTTP 302";
    QTest::newRow("server error") << "500" << 5 << "HTTP 500";
    QTest::newRow("connection refused") << "refused" << 5 << "refused";
    QTest::newRow("no answer within --timeout") << "stall" << 3 << "timed out";
    QTest::newRow("closed before the reply") << "close" << 5 << "127.0.0.1";
    QTest::newRow("image missing") << "nofile" << 4 << "kann nicht ge";
}

void TestCliNetwork::uploadFailures() {
    QFETCH(QString, kind);
    QFETCH(int, code);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QString path = writeImage(dir, QStringLiteral("web.bin"), "IMAGE");
    sim::UploadServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    quint16 port = server.port();
    sim::UploadServerBehaviour b;
    if (kind == QLatin1String("302")) {
        b.status = 302;
        b.reason = "Found";
        b.location = "http://127.0.0.1/elsewhere";
    } else if (kind == QLatin1String("500")) {
        b.status = 500;
        b.reason = "Internal Server Error";
    } else if (kind == QLatin1String("refused")) {
        port = closedTcpPort();
    } else if (kind == QLatin1String("stall")) {
        b.ending = sim::UploadServerBehaviour::Ending::Stall;
    } else if (kind == QLatin1String("close")) {
        b.ending = sim::UploadServerBehaviour::Ending::CloseBeforeReply;
    } else if (kind == QLatin1String("nofile")) {
        path = dir.filePath(QStringLiteral("absent.bin"));
    }
    server.setBehaviour(b);
    const Outcome o = runCli({"upload", "--timeout", "0.5", "--address", "127.0.0.1", "--port",
                              QString::number(port), path},
                             offlineEnvironment());
    QCOMPARE(o.code, code);
    QVERIFY2(o.err.contains(message), qPrintable(o.err));
    QCOMPARE(o.err.count(u'\n'), 1);
    QCOMPARE(o.out, QString());
}

void TestCliNetwork::timeoutBoundsATrickledReply() {
    // A server that answers 200 and then one byte of body every 50 ms, for ever: --timeout
    // limits the whole reply, not the silence between two bytes.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTimer trickle;
    trickle.setInterval(50);
    QList<QTcpSocket*> clients;
    connect(&trickle, &QTimer::timeout, [&] {
        for (QTcpSocket* c : std::as_const(clients))
            if (c->state() == QAbstractSocket::ConnectedState)
                c->write("z");
    });
    connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* c = server.nextPendingConnection()) {
            clients.append(c);
            connect(c, &QTcpSocket::readyRead, c, [c, &trickle] {
                c->readAll();
                if (!c->property("answered").toBool()) {
                    c->setProperty("answered", true);
                    c->write("HTTP/1.0 200 OK\r\n\r\n");
                    trickle.start();
                }
            });
        }
    });
    QTemporaryDir dir;
    const QString path = writeImage(dir, QStringLiteral("web.bin"), "IMAGE");
    QElapsedTimer clock;
    clock.start();
    const Outcome o = runCli({"upload", "--timeout", "0.5", "--address", "127.0.0.1", "--port",
                              QString::number(server.serverPort()), path},
                             offlineEnvironment());
    QCOMPARE(o.code, 3);
    QVERIFY2(o.err.contains(QStringLiteral("timed out")), qPrintable(o.err));
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestCliNetwork)
#include "test_cli_network.moc"
