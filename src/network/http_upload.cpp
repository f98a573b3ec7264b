#include "network/http_upload.h"

#include "localization/windows1252.h"
#include "network/multipart_form_data.h"
#include "network/schrankip.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace hq {
namespace {

QString hostKey(const QString& host) {
    return host.trimmed().toLower();
}

} // namespace

bool CookieStore::acceptable(QByteArrayView name, QByteArrayView value) {
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

void CookieStore::store(const QString& host, const QList<QByteArray>& setCookieValues) {
    const QString key = hostKey(host);
    auto hostIt =
        std::find_if(hosts_.begin(), hosts_.end(), [&](const auto& h) { return h.first == key; });
    if (hostIt == hosts_.end()) {
        hosts_.append({key, {}});
        hostIt = std::prev(hosts_.end());
    }
    auto& jar = hostIt->second;
    for (const QByteArray& value : setCookieValues) {
        const QList<QByteArray> fields = value.split(';');
        const QByteArrayView pair = trimBlanks(fields.front());
        const qsizetype eq = pair.indexOf('=');
        if (eq <= 0) {
            continue;
        }
        const QByteArrayView name = trimBlanks(pair.first(eq));
        const QByteArrayView val = trimBlanks(pair.sliced(eq + 1));
        if (!acceptable(name, val)) {
            continue;
        }
        bool remove = false;
        for (qsizetype i = 1; i < fields.size(); ++i) {
            const QByteArray attr = trimBlanks(fields[i]).toByteArray().toLower();
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
            it->serial = ++serial_;
        } else {
            jar.append({name.toByteArray(), val.toByteArray(), ++serial_});
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
        hosts_.erase(hostIt);
    }
}

qsizetype CookieStore::count(const QString& host) const {
    const QString key = hostKey(host);
    for (const auto& h : hosts_) {
        if (h.first == key) {
            return h.second.size();
        }
    }
    return 0;
}

QByteArray CookieStore::cookieHeader(const QString& host) const {
    const QString key = hostKey(host);
    for (const auto& h : hosts_) {
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

QByteArray buildUploadRequestHead(const UploadRequestHead& head) {
    QByteArray host = encodeWindows1252(head.host);
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

QString describeUploadOutcome(const UploadOutcome& o) {
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
        connect(&socket_, &QTcpSocket::connected, this, &UploadTransport::connected);
        connect(&socket_, &QTcpSocket::bytesWritten, this, &UploadTransport::bytesWritten);
        connect(&socket_, &QTcpSocket::readyRead, this, &UploadTransport::readyRead);
        connect(&socket_, &QTcpSocket::disconnected, this, &UploadTransport::disconnected);
        connect(&socket_, &QTcpSocket::errorOccurred, this, &UploadTransport::errorOccurred);
    }
    void connectToHost(const QHostAddress& address, quint16 port) override {
        socket_.connectToHost(address, port);
    }
    void connectToHost(const QString& hostName, quint16 port) override {
        socket_.connectToHost(hostName, port);
    }
    qint64 write(const char* data, qint64 size) override { return socket_.write(data, size); }
    qint64 bytesToWrite() const override { return socket_.bytesToWrite(); }
    QByteArray readAll() override { return socket_.readAll(); }
    void abort() override {
        socket_.disconnect(this);
        socket_.abort();
    }
    QAbstractSocket::SocketError error() const override { return socket_.error(); }
    QString errorString() const override { return socket_.errorString(); }

private:
    QTcpSocket socket_;
};

class QtUploadTimer : public UploadTimer {
public:
    QtUploadTimer() {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, &UploadTimer::timeout);
    }
    void start(int ms) override { timer_.start(ms); }
    void stop() override { timer_.stop(); }

private:
    QTimer timer_;
};

} // namespace

std::unique_ptr<UploadTransport> makeTcpTransport() {
    return std::make_unique<TcpTransport>();
}

std::unique_ptr<UploadTimer> makeUploadTimer() {
    return std::make_unique<QtUploadTimer>();
}

UploadClient::UploadClient(QObject* parent) : QObject(parent) {
    qRegisterMetaType<hq::UploadOutcome>();
}

UploadClient::~UploadClient() {
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
    }
}

bool UploadClient::start(const QString& host, const MultipartFormDataStream& body) {
    if (socket_ || !body.isFinished()) {
        return false;
    }
    host_ = host.trimmed();
    body_ = body.body();
    UploadRequestHead head;
    head.host = host_;
    head.port = port_;
    head.contentType = encodeWindows1252(body.BodyContentType());
    head.contentLength = body_.size();
    head.cookie = cookies_.cookieHeader(host_);
    head_ = buildUploadRequestHead(head);
    bodyQueued_ = 0;
    bodySent_ = 0;
    pendingWrite_ = 0;
    connected_ = false;
    replyDeadlineStarted_ = false;
    cookiesTaken_ = false;
    parser_ = HttpReplyParser();

    socket_ = makeTransport_ ? makeTransport_() : makeTcpTransport();
    timer_ = makeTimer_ ? makeTimer_() : makeUploadTimer();
    connect(timer_.get(), &UploadTimer::timeout, this, &UploadClient::onTimeout);
    connect(socket_.get(), &UploadTransport::connected, this, &UploadClient::onConnected);
    connect(socket_.get(), &UploadTransport::bytesWritten, this, &UploadClient::onBytesWritten);
    connect(socket_.get(), &UploadTransport::readyRead, this, &UploadClient::onReadyRead);
    connect(socket_.get(), &UploadTransport::disconnected, this, &UploadClient::onDisconnected);
    connect(socket_.get(), &UploadTransport::errorOccurred, this, &UploadClient::onError);
    if (connectTimeoutMs_ > 0) {
        timer_->start(connectTimeoutMs_);
    }
    const quint64 serial = ++serial_;
    if (const auto address = parseDottedIPv4(host_)) {
        socket_->connectToHost(*address, port_);
    } else if (looksLikeDottedAddress(host_)) {
        // Digits and dots that make no address (an empty group, a group above 255) are no host
        // name either: fail without asking the resolver, after Start() has returned.
        QMetaObject::invokeMethod(
            this,
            [this, serial] {
                if (serial == serial_) {
                    finish({UploadOutcome::Result::HostNotFound, 0,
                            QStringLiteral("%1 is no IPv4 address").arg(host_)});
                }
            },
            Qt::QueuedConnection);
    } else {
        socket_->connectToHost(host_, port_); // looked up as a host name
    }
    return true;
}

void UploadClient::abort() {
    if (socket_) {
        finish({UploadOutcome::Result::Aborted, 0, {}});
    }
}

void UploadClient::onConnected() {
    connected_ = true;
    timer_->stop();
    // The request has to go out within the limit, however slowly the cabinet takes its bytes
    // (the limit is not restarted by them); the reply's own limit starts once it has been sent.
    if (replyTimeoutMs_ > 0) {
        timer_->start(replyTimeoutMs_);
    }
    // Request line and headers go out as one block, the body follows in pieces.
    socket_->write(head_.constData(), head_.size());
    writeNextPiece();
}

void UploadClient::writeNextPiece() {
    while (socket_ && bodyQueued_ < body_.size() && socket_->bytesToWrite() < kUploadPieceSize) {
        const qint64 n = std::min<qint64>(kUploadPieceSize, body_.size() - bodyQueued_);
        const qint64 written = socket_->write(body_.constData() + bodyQueued_, n);
        if (written <= 0) {
            return; // the socket reports the failure through errorOccurred
        }
        bodyQueued_ += written;
    }
}

void UploadClient::onBytesWritten(qint64 bytes) {
    pendingWrite_ += bytes;
    if (pendingWrite_ >= head_.size() + body_.size()) {
        startReplyDeadline();
    }
    const qint64 bodySent = std::clamp<qint64>(pendingWrite_ - head_.size(), 0, body_.size());
    if (bodySent != bodySent_) {
        bodySent_ = bodySent;
        emit progress(bodySent_, body_.size());
    }
    writeNextPiece();
}

void UploadClient::onReadyRead() {
    if (!socket_) {
        return;
    }
    // A reply that starts before the request is out (an early refusal) is timed from here.
    startReplyDeadline();
    parser_.feed(socket_->readAll());
    evaluate();
}

void UploadClient::startReplyDeadline() {
    // One limit for the whole reply, however its bytes trickle in: it is never restarted.
    if (replyDeadlineStarted_) {
        return;
    }
    replyDeadlineStarted_ = true;
    timer_->stop();
    if (replyTimeoutMs_ > 0) {
        timer_->start(replyTimeoutMs_);
    }
}

void UploadClient::onDisconnected() {
    if (!socket_) {
        return;
    }
    parser_.feed(socket_->readAll());
    if (!parser_.isComplete() && !parser_.isFailed()) {
        parser_.finishInput();
    }
    evaluate();
}

void UploadClient::evaluate() {
    if (!socket_) {
        return;
    }
    if (parser_.headersComplete() && !cookiesTaken_) {
        cookiesTaken_ = true;
        QList<QByteArray> setCookies = parser_.headerValues("Set-Cookie");
        setCookies += parser_.headerValues("Set-Cookie2");
        if (!setCookies.isEmpty()) {
            cookies_.store(host_, setCookies);
        }
    }
    const int status = parser_.statusCode();
    if (parser_.finalHeadersSeen() && (status < 200 || status > 299)) {
        // Redirects are not followed and no credentials are offered: any other status fails,
        // with its status line, whatever follows it.
        finish(
            {UploadOutcome::Result::HttpStatus, status, decodeWindows1252(parser_.reasonPhrase())});
        return;
    }
    if (parser_.isFailed()) {
        if (parser_.error() == HttpReplyParser::Error::IncompleteReply) {
            finish({UploadOutcome::Result::ConnectionLost, status,
                    QString::fromLatin1(httpReplyErrorText(parser_.error()))});
        } else {
            finish({UploadOutcome::Result::MalformedReply, status,
                    QString::fromLatin1(httpReplyErrorText(parser_.error()))});
        }
        return;
    }
    if (parser_.isComplete()) {
        finish({UploadOutcome::Result::Success, status, {}});
    }
}

void UploadClient::onError() {
    if (!socket_) {
        return;
    }
    const auto error = socket_->error();
    const QString text = socket_->errorString();
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        if (connected_) {
            onDisconnected();
            return;
        }
        finish({UploadOutcome::Result::ConnectionLost, 0, text});
        return;
    case QAbstractSocket::ConnectionRefusedError:
        finish({UploadOutcome::Result::Refused, 0, text});
        return;
    case QAbstractSocket::HostNotFoundError:
        finish({UploadOutcome::Result::HostNotFound, 0, text});
        return;
    case QAbstractSocket::SocketTimeoutError:
        finish({UploadOutcome::Result::TimedOut, 0, text});
        return;
    default:
        if (connected_) {
            // A reply may already be complete when the peer resets the connection.
            parser_.feed(socket_->readAll());
            if (parser_.isComplete() || parser_.isFailed() || parser_.headersComplete()) {
                evaluate();
                if (!socket_) {
                    return;
                }
            }
        }
        finish({UploadOutcome::Result::NetworkError, 0, text});
        return;
    }
}

void UploadClient::onTimeout() {
    if (!socket_) {
        return;
    }
    if (!connected_) {
        finish({UploadOutcome::Result::TimedOut, 0,
                QStringLiteral("no connection within %1 ms").arg(connectTimeoutMs_)});
    } else {
        finish({UploadOutcome::Result::TimedOut, parser_.statusCode(),
                replyDeadlineStarted_
                    ? QStringLiteral("no complete reply within %1 ms").arg(replyTimeoutMs_)
                    : QStringLiteral("request not sent within %1 ms").arg(replyTimeoutMs_)});
    }
}

void UploadClient::finish(UploadOutcome outcome) {
    if (!socket_) {
        return;
    }
    timer_->stop();
    UploadTransport* socket = socket_.release();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    timer_.release()->deleteLater();
    body_.clear();
    emit finished(outcome);
}

} // namespace hq
