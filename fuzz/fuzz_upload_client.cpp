// The upload client fed a whole server reply in pieces over a stand-in connection. Whatever the
// server sends, the upload ends (by the reply, the end of the connection or its time limit), ends
// once, never holds more than its caps (1 MiB of body, 8 interim replies, 50 cookies of at most
// 4096 bytes per host) and reports a complete 2xx reply as a success with its status and any
// other final status as that status.
//
// Input: byte 0 picks the behaviour (bit 0: the server closes the connection after its reply;
// bits 1-4: that many 128 KiB blocks of 'z' follow the reply bytes; bits 5-7 and byte 1 seed the
// piece sizes), the rest is the reply.
#include "fuzz_check.h"
#include "network/http_upload.h"
#include "network/multipart_form_data.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>

using hq::fuzz::check;

namespace {

struct Script {
    QList<QByteArray> pieces;
    bool closeAtEnd = false;
};

class FakeTransport : public hq::UploadTransport {
public:
    explicit FakeTransport(Script script) : script_(std::move(script)) {}

    void connectToHost(const QHostAddress&, quint16) override { start(); }
    void connectToHost(const QString&, quint16) override { start(); }
    qint64 write(const char*, qint64 size) override {
        QMetaObject::invokeMethod(
            this, [this, size] { emit bytesWritten(size); }, Qt::QueuedConnection);
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
        QMetaObject::invokeMethod(
            this,
            [this] {
                emit connected();
                deliver(0);
            },
            Qt::QueuedConnection);
    }
    void deliver(qsizetype i) {
        if (aborted_)
            return;
        if (i < script_.pieces.size()) {
            pending_ += script_.pieces[i];
            emit readyRead();
            if (!aborted_)
                QMetaObject::invokeMethod(
                    this, [this, i] { deliver(i + 1); }, Qt::QueuedConnection);
            return;
        }
        if (script_.closeAtEnd)
            emit disconnected();
    }

    Script script_;
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    application();
    if (size < 2)
        return 0;
    const bool closeAtEnd = data[0] & 1;
    const int extraBlocks = (data[0] >> 1) & 15;
    std::minstd_rand pieceSizes(unsigned(data[0] >> 5) * 256u + data[1]);
    const QByteArray reply(reinterpret_cast<const char*>(data + 2), qsizetype(size - 2));

    Script script;
    script.closeAtEnd = closeAtEnd;
    for (qsizetype at = 0; at < reply.size();) {
        const qsizetype n = std::min<qsizetype>(1 + pieceSizes() % 64, reply.size() - at);
        script.pieces.append(reply.mid(at, n));
        at += n;
    }
    for (int b = 0; b < extraBlocks; ++b)
        script.pieces.append(QByteArray(128 * 1024, 'z'));

    hq::UploadClient client;
    client.setTransportFactory([&script] { return std::make_unique<FakeTransport>(script); });
    // A server that keeps the connection open is ended by the reply's time limit.
    client.setReplyTimeout(closeAtEnd ? 5000 : 5);
    client.setConnectTimeout(5000);
    hq::MultipartFormDataStream body;
    QByteArray image("image");
    QBuffer source(&image);
    source.open(QIODevice::ReadOnly);
    body.AppendFilePart(QStringLiteral("/mpfsupload"), QStringLiteral("MPFSImg_DC.bin"), {},
                        source);
    body.FinishBody();

    int finishedCount = 0;
    hq::UploadOutcome outcome;
    QObject::connect(&client, &hq::UploadClient::finished, [&](const hq::UploadOutcome& o) {
        ++finishedCount;
        outcome = o;
    });
    check(client.Start(QStringLiteral("192.168.1.50"), body));
    QElapsedTimer clock;
    clock.start();
    while (finishedCount == 0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        check(clock.elapsed() < 20000); // it ends
    }
    QCoreApplication::processEvents(); // nothing more may come
    check(finishedCount == 1 && !client.isRunning());

    const hq::HttpReplyParser& parsed = client.reply();
    check(parsed.body().size() <= hq::HttpReplyParser::kMaxBody);
    check(parsed.interimReplies() <= hq::HttpReplyParser::kMaxInterimReplies);
    check(client.cookies().count(QStringLiteral("192.168.1.50")) <=
          hq::CookieStore::kMaxCookiesPerHost);
    for (const QByteArray& pair :
         client.cookies().CookieHeader(QStringLiteral("192.168.1.50")).split(';'))
        check(pair.trimmed().size() <= hq::CookieStore::kMaxCookieBytes + 1);

    using R = hq::UploadOutcome::Result;
    const int status = parsed.statusCode();
    if (outcome.result == R::Success) {
        check(parsed.isComplete() && status >= 200 && status <= 299);
        check(outcome.httpStatus == status);
    }
    if (parsed.finalHeadersSeen() && (status < 200 || status > 299))
        check(outcome.result == R::HttpStatus && outcome.httpStatus == status);
    if (parsed.isComplete() && status >= 200 && status <= 299)
        check(outcome.result == R::Success);
    // A reply that ended with the connection ends with it, not by the clock.
    if (closeAtEnd)
        check(outcome.result != R::TimedOut);

    // The same bytes read in one piece come to the same end.
    hq::HttpReplyParser whole;
    whole.Feed(reply + QByteArray(qsizetype(extraBlocks) * 128 * 1024, 'z'));
    if (closeAtEnd)
        whole.FinishInput();
    if (closeAtEnd && whole.isComplete() && whole.statusCode() >= 200 && whole.statusCode() <= 299)
        check(outcome.result == R::Success);
    if (outcome.result == R::Success)
        check(whole.isComplete());
    return 0;
}
