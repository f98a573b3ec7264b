#include "network/http_upload.h"

#include "localization/windows1252.h"
#include "network/multipart_form_data.h"
#include "network/schrankip.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace hq {
namespace {

QString HostKey(const QString& host) {
    return host.trimmed().toLower();
}

} // namespace

bool CookieStore::Acceptable(QByteArrayView name, QByteArrayView value) {
    if (name.isEmpty() || name.size() + value.size() > kMaxCookieBytes) {
        return false;
    }
    // A control byte would go back out in the Cookie line: CR or LF would add header lines.
    const auto control = [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    };
    return std::none_of(name.begin(), name.end(), control) &&
           std::none_of(value.begin(), value.end(), control);
}

void CookieStore::Store(const QString& host, const QList<QByteArray>& setCookieValues) {
    const QString key = HostKey(host);
    auto hostIt =
        std::find_if(m_hosts.begin(), m_hosts.end(), [&](const auto& h) { return h.first == key; });
    if (hostIt == m_hosts.end()) {
        m_hosts.append({key, {}});
        hostIt = std::prev(m_hosts.end());
    }
    auto& jar = hostIt->second;
    for (const QByteArray& value : setCookieValues) {
        const QList<QByteArray> fields = value.split(';');
        const QByteArrayView pair = TrimBlanks(fields.front());
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0) {
            continue;
        }
        const QByteArrayView name = TrimBlanks(pair.first(eq));
        const QByteArrayView val = TrimBlanks(pair.sliced(eq + 1));
        if (!Acceptable(name, val)) {
            continue;
        }
        bool remove = false;
        for (qsizetype i = 1; i < fields.size(); ++i) {
            const QByteArray attr = TrimBlanks(fields[i]).toByteArray().toLower();
            if (attr == "max-age=0") {
                remove = true;
            }
        }
        const auto it =
            std::find_if(jar.begin(), jar.end(), [&](const Cookie& c) { return c.name == name; });
        if (remove) {
            if (it != jar.end()) {
                jar.erase(it);
            }
        } else if (it != jar.end()) {
            it->value = val.toByteArray(); // keeps its place in the Cookie line
            it->serial = ++m_serial;
        } else {
            jar.append({name.toByteArray(), val.toByteArray(), ++m_serial});
            if (jar.size() > kMaxCookiesPerHost) {
                // The newest win: the cookie set longest ago gives way.
                jar.erase(
                    std::min_element(jar.begin(), jar.end(), [](const Cookie& a, const Cookie& b) {
                        return a.serial < b.serial;
                    }));
            }
        }
    }
    if (jar.isEmpty()) {
        m_hosts.erase(hostIt);
    }
}

qsizetype CookieStore::count(const QString& host) const {
    const QString key = HostKey(host);
    for (const auto& h : m_hosts) {
        if (h.first == key) {
            return h.second.size();
        }
    }
    return 0;
}

QByteArray CookieStore::CookieHeader(const QString& host) const {
    const QString key = HostKey(host);
    for (const auto& h : m_hosts) {
        if (h.first == key) {
            QByteArrayList pairs;
            for (const Cookie& c : h.second) {
                pairs.append(c.name + '=' + c.value);
            }
            return pairs.join("; ");
        }
    }
    return {};
}

QByteArray BuildUploadRequestHead(const UploadRequestHead& head) {
    QByteArray host = EncodeWindows1252(head.host);
    if (head.port != kHttpPort) {
        host += ':' + QByteArray::number(head.port);
    }
    QByteArray out;
    out += "POST " + head.path + " HTTP/1.0\r\n";
    out += "Connection: keep-alive\r\n";
    if (!head.contentType.isEmpty()) {
        out += "Content-Type: " + head.contentType + "\r\n";
    }
    out += "Content-Length: " + QByteArray::number(head.contentLength) + "\r\n";
    out += "Host: " + host + "\r\n";
    out += QByteArray("Accept: ") + kUploadAccept + "\r\n";
    out += QByteArray("User-Agent: ") + kUploadUserAgent + "\r\n";
    if (!head.cookie.isEmpty()) {
        out += "Cookie: " + head.cookie + "\r\n";
    }
    out += "\r\n";
    return out;
}

QString DescribeUploadOutcome(const UploadOutcome& o) {
    using R = UploadOutcome::Result;
    switch (o.result) {
    case R::Success:
        return QStringLiteral("MPFS upload done: HTTP %1").arg(o.httpStatus);
    case R::HttpStatus:
        return QStringLiteral("MPFS upload failed: HTTP %1 %2").arg(o.httpStatus).arg(o.detail);
    case R::Refused:
        return QStringLiteral("MPFS upload failed: connection refused (%1)").arg(o.detail);
    case R::HostNotFound:
        return QStringLiteral("MPFS upload failed: no such address (%1)").arg(o.detail);
    case R::TimedOut:
        return QStringLiteral("MPFS upload failed: timed out (%1)").arg(o.detail);
    case R::MalformedReply:
        return QStringLiteral("MPFS upload failed: malformed reply (%1)").arg(o.detail);
    case R::ConnectionLost:
        return QStringLiteral("MPFS upload failed: connection lost (%1)").arg(o.detail);
    case R::NetworkError:
        return QStringLiteral("MPFS upload failed: %1").arg(o.detail);
    case R::Aborted:
        return QStringLiteral("MPFS upload aborted");
    }
    return QStringLiteral("MPFS upload failed");
}

namespace {

class TcpTransport : public UploadTransport {
public:
    TcpTransport() {
        connect(&m_socket, &QTcpSocket::connected, this, &UploadTransport::connected);
        connect(&m_socket, &QTcpSocket::bytesWritten, this, &UploadTransport::bytesWritten);
        connect(&m_socket, &QTcpSocket::readyRead, this, &UploadTransport::readyRead);
        connect(&m_socket, &QTcpSocket::disconnected, this, &UploadTransport::disconnected);
        connect(&m_socket, &QTcpSocket::errorOccurred, this, &UploadTransport::errorOccurred);
    }
    void connectToHost(const QHostAddress& address, quint16 port) override {
        m_socket.connectToHost(address, port);
    }
    void connectToHost(const QString& hostName, quint16 port) override {
        m_socket.connectToHost(hostName, port);
    }
    qint64 write(const char* data, qint64 size) override { return m_socket.write(data, size); }
    qint64 bytesToWrite() const override { return m_socket.bytesToWrite(); }
    QByteArray readAll() override { return m_socket.readAll(); }
    void abort() override {
        m_socket.disconnect(this);
        m_socket.abort();
    }
    QAbstractSocket::SocketError error() const override { return m_socket.error(); }
    QString errorString() const override { return m_socket.errorString(); }

private:
    QTcpSocket m_socket;
};

class QtUploadTimer : public UploadTimer {
public:
    QtUploadTimer() {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &UploadTimer::timeout);
    }
    void start(int ms) override { m_timer.start(ms); }
    void stop() override { m_timer.stop(); }

private:
    QTimer m_timer;
};

} // namespace

std::unique_ptr<UploadTransport> MakeTcpTransport() {
    return std::make_unique<TcpTransport>();
}

std::unique_ptr<UploadTimer> MakeUploadTimer() {
    return std::make_unique<QtUploadTimer>();
}

UploadClient::UploadClient(QObject* parent) : QObject(parent) {
    qRegisterMetaType<hq::UploadOutcome>();
}

UploadClient::~UploadClient() {
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

bool UploadClient::Start(const QString& host, const MultipartFormDataStream& body) {
    if (m_socket || !body.isFinished()) {
        return false;
    }
    m_host = host.trimmed();
    m_body = body.Body();
    UploadRequestHead head;
    head.host = m_host;
    head.port = m_port;
    head.contentType = EncodeWindows1252(body.BodyContentType());
    head.contentLength = m_body.size();
    head.cookie = m_cookies.CookieHeader(m_host);
    m_head = BuildUploadRequestHead(head);
    m_bodyQueued = 0;
    m_bodySent = 0;
    m_pendingWrite = 0;
    m_connected = false;
    m_replyDeadlineStarted = false;
    m_cookiesTaken = false;
    m_parser = HttpReplyParser();

    m_socket = m_makeTransport ? m_makeTransport() : MakeTcpTransport();
    m_timer = m_makeTimer ? m_makeTimer() : MakeUploadTimer();
    connect(m_timer.get(), &UploadTimer::timeout, this, &UploadClient::OnTimeout);
    connect(m_socket.get(), &UploadTransport::connected, this, &UploadClient::OnConnected);
    connect(m_socket.get(), &UploadTransport::bytesWritten, this, &UploadClient::OnBytesWritten);
    connect(m_socket.get(), &UploadTransport::readyRead, this, &UploadClient::OnReadyRead);
    connect(m_socket.get(), &UploadTransport::disconnected, this, &UploadClient::OnDisconnected);
    connect(m_socket.get(), &UploadTransport::errorOccurred, this, &UploadClient::OnError);
    if (m_connectTimeoutMs > 0) {
        m_timer->start(m_connectTimeoutMs);
    }
    const quint64 serial = ++m_serial;
    if (const auto address = ParseDottedIPv4(m_host)) {
        m_socket->connectToHost(*address, m_port);
    } else if (LooksLikeDottedAddress(m_host)) {
        // Digits and dots that make no address (an empty group, a group above 255) are no host
        // name either: fail without asking the resolver, after Start() has returned.
        QMetaObject::invokeMethod(
            this,
            [this, serial] {
                if (serial == m_serial) {
                    Finish({UploadOutcome::Result::HostNotFound, 0,
                            QStringLiteral("%1 is no IPv4 address").arg(m_host)});
                }
            },
            Qt::QueuedConnection);
    } else {
        m_socket->connectToHost(m_host, m_port); // looked up as a host name
    }
    return true;
}

void UploadClient::Abort() {
    if (m_socket) {
        Finish({UploadOutcome::Result::Aborted, 0, {}});
    }
}

void UploadClient::OnConnected() {
    m_connected = true;
    m_timer->stop();
    // The request has to go out within the limit, however slowly the cabinet takes its bytes
    // (the limit is not restarted by them); the reply's own limit starts once it has been sent.
    if (m_replyTimeoutMs > 0) {
        m_timer->start(m_replyTimeoutMs);
    }
    // Request line and headers go out as one block, the body follows in pieces.
    m_socket->write(m_head.constData(), m_head.size());
    WriteNextPiece();
}

void UploadClient::WriteNextPiece() {
    while (m_socket && m_bodyQueued < m_body.size() &&
           m_socket->bytesToWrite() < kUploadPieceSize) {
        const qint64 n = std::min<qint64>(kUploadPieceSize, m_body.size() - m_bodyQueued);
        const qint64 written = m_socket->write(m_body.constData() + m_bodyQueued, n);
        if (written <= 0) {
            return; // the socket reports the failure through errorOccurred
        }
        m_bodyQueued += written;
    }
}

void UploadClient::OnBytesWritten(qint64 bytes) {
    m_pendingWrite += bytes;
    if (m_pendingWrite >= m_head.size() + m_body.size()) {
        StartReplyDeadline();
    }
    const qint64 bodySent = std::clamp<qint64>(m_pendingWrite - m_head.size(), 0, m_body.size());
    if (bodySent != m_bodySent) {
        m_bodySent = bodySent;
        emit progress(m_bodySent, m_body.size());
    }
    WriteNextPiece();
}

void UploadClient::OnReadyRead() {
    if (!m_socket) {
        return;
    }
    // A reply that starts before the request is out (an early refusal) is timed from here.
    StartReplyDeadline();
    m_parser.Feed(m_socket->readAll());
    Evaluate();
}

void UploadClient::StartReplyDeadline() {
    // One limit for the whole reply, however its bytes trickle in: it is never restarted.
    if (m_replyDeadlineStarted) {
        return;
    }
    m_replyDeadlineStarted = true;
    m_timer->stop();
    if (m_replyTimeoutMs > 0) {
        m_timer->start(m_replyTimeoutMs);
    }
}

void UploadClient::OnDisconnected() {
    if (!m_socket) {
        return;
    }
    m_parser.Feed(m_socket->readAll());
    if (!m_parser.isComplete() && !m_parser.isFailed()) {
        m_parser.FinishInput();
    }
    Evaluate();
}

void UploadClient::Evaluate() {
    if (!m_socket) {
        return;
    }
    if (m_parser.headersComplete() && !m_cookiesTaken) {
        m_cookiesTaken = true;
        QList<QByteArray> setCookies = m_parser.headerValues("Set-Cookie");
        setCookies += m_parser.headerValues("Set-Cookie2");
        if (!setCookies.isEmpty()) {
            m_cookies.Store(m_host, setCookies);
        }
    }
    const int status = m_parser.statusCode();
    if (m_parser.finalHeadersSeen() && (status < 200 || status > 299)) {
        // Redirects are not followed and no credentials are offered: any other status fails,
        // with its status line, whatever follows it.
        Finish({UploadOutcome::Result::HttpStatus, status,
                DecodeWindows1252(m_parser.reasonPhrase())});
        return;
    }
    if (m_parser.isFailed()) {
        if (m_parser.error() == HttpReplyParser::Error::IncompleteReply) {
            Finish({UploadOutcome::Result::ConnectionLost, status,
                    QString::fromLatin1(HttpReplyErrorText(m_parser.error()))});
        } else {
            Finish({UploadOutcome::Result::MalformedReply, status,
                    QString::fromLatin1(HttpReplyErrorText(m_parser.error()))});
        }
        return;
    }
    if (m_parser.isComplete()) {
        Finish({UploadOutcome::Result::Success, status, {}});
    }
}

void UploadClient::OnError() {
    if (!m_socket) {
        return;
    }
    const auto error = m_socket->error();
    const QString text = m_socket->errorString();
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        if (m_connected) {
            OnDisconnected();
            return;
        }
        Finish({UploadOutcome::Result::ConnectionLost, 0, text});
        return;
    case QAbstractSocket::ConnectionRefusedError:
        Finish({UploadOutcome::Result::Refused, 0, text});
        return;
    case QAbstractSocket::HostNotFoundError:
        Finish({UploadOutcome::Result::HostNotFound, 0, text});
        return;
    case QAbstractSocket::SocketTimeoutError:
        Finish({UploadOutcome::Result::TimedOut, 0, text});
        return;
    default:
        if (m_connected) {
            // A reply may already be complete when the peer resets the connection.
            m_parser.Feed(m_socket->readAll());
            if (m_parser.isComplete() || m_parser.isFailed() || m_parser.headersComplete()) {
                Evaluate();
                if (!m_socket) {
                    return;
                }
            }
        }
        Finish({UploadOutcome::Result::NetworkError, 0, text});
        return;
    }
}

void UploadClient::OnTimeout() {
    if (!m_socket) {
        return;
    }
    if (!m_connected) {
        Finish({UploadOutcome::Result::TimedOut, 0,
                QStringLiteral("no connection within %1 ms").arg(m_connectTimeoutMs)});
    } else {
        Finish({UploadOutcome::Result::TimedOut, m_parser.statusCode(),
                m_replyDeadlineStarted
                    ? QStringLiteral("no complete reply within %1 ms").arg(m_replyTimeoutMs)
                    : QStringLiteral("request not sent within %1 ms").arg(m_replyTimeoutMs)});
    }
}

void UploadClient::Finish(UploadOutcome outcome) {
    if (!m_socket) {
        return;
    }
    m_timer->stop();
    UploadTransport* socket = m_socket.release();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    m_timer.release()->deleteLater();
    m_body.clear();
    emit finished(outcome);
}

} // namespace hq
