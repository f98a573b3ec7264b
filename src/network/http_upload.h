#pragma once

#include "network/http_reply_parser.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <memory>

class QTcpSocket;
class QTimer;

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
    // Takes the values of Set-Cookie and Set-Cookie2 headers: the name=value pair before the first
    // ';'. A later cookie of the same name replaces the earlier; "Max-Age=0" removes it.
    void Store(const QString& host, const QList<QByteArray>& setCookieValues);
    // "a=1; b=2" for the host, empty when it has no cookies.
    QByteArray CookieHeader(const QString& host) const;
    bool isEmpty() const { return m_hosts.isEmpty(); }

private:
    QList<QPair<QString, QList<QPair<QByteArray, QByteArray>>>> m_hosts;
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
QByteArray BuildUploadRequestHead(const UploadRequestHead& head);

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
QString DescribeUploadOutcome(const UploadOutcome& outcome);

// Posts a finished multipart body to http://<host>[:port]/mpfsupload over a new TCP connection,
// asynchronously: Start() returns at once, progress() follows the body, finished() reports the
// outcome once. One upload at a time. Cookies from replies are kept and sent back to the same host.
class UploadClient : public QObject {
    Q_OBJECT
public:
    explicit UploadClient(QObject* parent = nullptr);
    ~UploadClient() override;

    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }
    // Time allowed for the TCP connection to be made (120 s by default).
    int connectTimeout() const { return m_connectTimeoutMs; }
    void setConnectTimeout(int ms) { m_connectTimeoutMs = ms; }
    // Time the cabinet may stay silent once connected before the upload is given up; 0 waits for
    // ever. 120 s by default.
    int replyTimeout() const { return m_replyTimeoutMs; }
    void setReplyTimeout(int ms) { m_replyTimeoutMs = ms; }

    bool isRunning() const { return m_socket != nullptr; }
    const CookieStore& cookies() const { return m_cookies; }

    // Starts the upload of body (finished with FinishBody) to host. Refused (false, nothing sent)
    // while another upload runs or when the body is not finished.
    bool Start(const QString& host, const MultipartFormDataStream& body);
    // Ends a running upload; finished() reports Aborted.
    void Abort();

signals:
    void progress(qint64 bodyBytesSent, qint64 bodySize);
    void finished(const hq::UploadOutcome& outcome);

private:
    void OnConnected();
    void OnBytesWritten(qint64 bytes);
    void OnReadyRead();
    void OnDisconnected();
    void OnError();
    void OnTimeout();
    void WriteNextPiece();
    void Evaluate();
    void Finish(UploadOutcome outcome);

    quint16 m_port = kHttpPort;
    int m_connectTimeoutMs = kDefaultConnectTimeoutMs;
    int m_replyTimeoutMs = kDefaultConnectTimeoutMs;
    CookieStore m_cookies;

    std::unique_ptr<QTcpSocket> m_socket;
    std::unique_ptr<QTimer> m_timer;
    bool m_connected = false;
    QString m_host;
    QByteArray m_head;
    QByteArray m_body;
    qint64 m_bodyQueued = 0;
    qint64 m_pendingWrite = 0;
    qint64 m_bodySent = 0;
    bool m_cookiesTaken = false;
    quint64 m_serial = 0;
    HttpReplyParser m_parser;
};

} // namespace hq

Q_DECLARE_METATYPE(hq::UploadOutcome)
