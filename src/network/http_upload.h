#pragma once

#include "network/http_reply_parser.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

namespace hq {

class MultipartFormDataStream;

inline constexpr auto kUploadPath = "/mpfsupload";
inline constexpr auto kUploadUserAgent = "Mozilla/3.0 (compatible; HQ3746 Monitor)";
inline constexpr auto kUploadAccept = "text/html, */*";
inline constexpr quint16 kHttpPort = 80;
inline constexpr int kDefaultConnectTimeoutMs = 120000;
inline constexpr qint64 kUploadPieceSize = 32768;

// Cookies that replies set, kept per host for the lifetime of the client.
class CookieStore {
public:
    // RFC 6265's minimums, used here as limits: a host that sets more pushes out its oldest.
    static constexpr qsizetype kMaxCookiesPerHost = 50;
    static constexpr qsizetype kMaxCookieBytes = 4096; // name and value together

    // Takes the values of Set-Cookie and Set-Cookie2 headers: the name=value pair before the first
    // ';'. A later cookie of the same name replaces the earlier (and counts as the newest);
    // "Max-Age=0" removes it. A cookie whose name or value holds a control byte (CR, LF, NUL,
    // ...) or that is longer than kMaxCookieBytes is refused; of more than kMaxCookiesPerHost
    // cookies the newest are kept.
    void store(const QString& host, const QList<QByteArray>& setCookieValues);
    // "a=1; b=2" for the host, in the order they were first set; empty when it has no cookies.
    QByteArray cookieHeader(const QString& host) const;
    bool isEmpty() const { return hosts_.isEmpty(); }
    // Number of cookies kept for the host.
    qsizetype count(const QString& host) const;
    // True when a cookie of this name and value may be kept and sent back.
    static bool acceptable(QByteArrayView name, QByteArrayView value);

private:
    struct Cookie {
        QByteArray name;
        QByteArray value;
        quint64 serial = 0; // when it was last set
    };
    QList<QPair<QString, QList<Cookie>>> hosts_;
    quint64 serial_ = 0;
};

// The request line and headers of the upload, ending with the empty line.
struct UploadRequestHead {
    QString host; // plain dotted address (or host name)
    quint16 port = kHttpPort;
    QByteArray path = kUploadPath;
    QByteArray contentType;
    qint64 contentLength = 0;
    QByteArray cookie; // value of the Cookie header; left out when empty
};
QByteArray buildUploadRequestHead(const UploadRequestHead& head);

// How one upload ended.
struct UploadOutcome {
    enum class Result {
        Success,        // 2xx reply read completely
        HttpStatus,     // a final status outside 200..299 (redirects are not followed)
        Refused,        // nobody listens at the address and port
        HostNotFound,   // the address is no IPv4 address and no known host name
        TimedOut,       // connection attempt or reply took longer than the time limit
        MalformedReply, // the reply broke the protocol (see detail)
        ConnectionLost, // the connection ended before the reply was complete
        NetworkError,   // any other socket failure (see detail)
        Aborted,        // Abort() was called
    };
    Result result = Result::NetworkError;
    int httpStatus = 0; // status of the final reply when one was read
    QString detail;

    bool ok() const { return result == Result::Success; }
};

// One line for the network pane that says how an upload ended.
QString describeUploadOutcome(const UploadOutcome& outcome);

// The connection an upload talks over: a TCP socket, or a stand-in that tests and the fuzz target
// feed with a server's reply.
class UploadTransport : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void connectToHost(const QHostAddress& address, quint16 port) = 0;
    virtual void connectToHost(const QString& hostName, quint16 port) = 0; // looked up by name
    virtual qint64 write(const char* data, qint64 size) = 0;
    virtual qint64 bytesToWrite() const = 0;
    virtual QByteArray readAll() = 0;
    // Drops the connection at once; no signal follows.
    virtual void abort() = 0;
    virtual QAbstractSocket::SocketError error() const = 0;
    virtual QString errorString() const = 0;

signals:
    void connected();
    void bytesWritten(qint64 bytes);
    void readyRead();
    void disconnected();
    void errorOccurred();
};

// A new TCP connection (QTcpSocket).
std::unique_ptr<UploadTransport> makeTcpTransport();

// The one-shot timer an upload measures its time limits with: a QTimer, or a stand-in that the
// fuzz target runs on a clock of its own.
class UploadTimer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // timeout() once, ms milliseconds from now; a running timer is started anew.
    virtual void start(int ms) = 0;
    virtual void stop() = 0;

signals:
    void timeout();
};

// A precise single-shot QTimer.
std::unique_ptr<UploadTimer> makeUploadTimer();

// Posts a finished multipart body to http://<host>[:port]/mpfsupload over a new TCP connection,
// asynchronously: Start() returns at once, progress() follows the body, finished() reports the
// outcome once. One upload at a time. Cookies from replies are kept and sent back to the same host.
class UploadClient : public QObject {
    Q_OBJECT
public:
    explicit UploadClient(QObject* parent = nullptr);
    ~UploadClient() override;

    quint16 port() const { return port_; }
    void setPort(quint16 port) { port_ = port; }
    // Time allowed for the TCP connection to be made (120 s by default).
    int connectTimeout() const { return connectTimeoutMs_; }
    void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
    // Time the request may take to go out once the connection is made, and then the time the
    // whole reply may take from the moment the request has been sent (or the first reply byte
    // arrived); neither is restarted, however slowly the bytes go out or trickle in. 0 waits for
    // ever. 120 s by default.
    int replyTimeout() const { return replyTimeoutMs_; }
    void setReplyTimeout(int ms) { replyTimeoutMs_ = ms; }

    // Makes the connection of each upload; MakeTcpTransport unless changed.
    void setTransportFactory(std::function<std::unique_ptr<UploadTransport>()> factory) {
        makeTransport_ = std::move(factory);
    }
    // Makes the timer of each upload; MakeUploadTimer unless changed.
    void setTimerFactory(std::function<std::unique_ptr<UploadTimer>()> factory) {
        makeTimer_ = std::move(factory);
    }

    bool isRunning() const { return socket_ != nullptr; }
    const CookieStore& cookies() const { return cookies_; }
    // The reply of the current or last upload as far as it was read.
    const HttpReplyParser& reply() const { return parser_; }

    // Starts the upload of body (finished with FinishBody) to host. Refused (false, nothing sent)
    // while another upload runs or when the body is not finished.
    bool start(const QString& host, const MultipartFormDataStream& body);
    // Ends a running upload; finished() reports Aborted.
    void abort();

signals:
    void progress(qint64 bodyBytesSent, qint64 bodySize);
    void finished(const hq::UploadOutcome& outcome);

private:
    void onConnected();
    void onBytesWritten(qint64 bytes);
    void onReadyRead();
    void onDisconnected();
    void onError();
    void onTimeout();
    void writeNextPiece();
    void startReplyDeadline();
    void evaluate();
    void finish(UploadOutcome outcome);

    quint16 port_ = kHttpPort;
    int connectTimeoutMs_ = kDefaultConnectTimeoutMs;
    int replyTimeoutMs_ = kDefaultConnectTimeoutMs;
    CookieStore cookies_;

    std::function<std::unique_ptr<UploadTransport>()> makeTransport_ = makeTcpTransport;
    std::function<std::unique_ptr<UploadTimer>()> makeTimer_ = makeUploadTimer;
    std::unique_ptr<UploadTransport> socket_;
    std::unique_ptr<UploadTimer> timer_;
    bool connected_ = false;
    bool replyDeadlineStarted_ = false;
    QString host_;
    QByteArray head_;
    QByteArray body_;
    qint64 bodyQueued_ = 0;
    qint64 pendingWrite_ = 0;
    qint64 bodySent_ = 0;
    bool cookiesTaken_ = false;
    quint64 serial_ = 0;
    HttpReplyParser parser_;
};

} // namespace hq

Q_DECLARE_METATYPE(hq::UploadOutcome)
