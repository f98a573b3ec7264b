#include "sim/net_upload_server.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace hq::sim {
namespace {

constexpr qsizetype kMaxHead = 64 * 1024;
constexpr qint64 kMaxBody = 64 * 1024 * 1024;

QByteArray headerValue(const QByteArray& head, QByteArrayView name) {
    const QList<QByteArray> lines = head.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 &&
            QByteArrayView(line).first(colon).compare(name, Qt::CaseInsensitive) == 0) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

QByteArray parameter(const QByteArray& line, QByteArrayView name) {
    const QByteArray key = name.toByteArray() + "=\"";
    const qsizetype at = line.indexOf(key);
    if (at < 0) {
        return {};
    }
    const qsizetype start = at + key.size();
    // The file name is written unquoted, so the closing quote is the last one on the line when it
    // is the last parameter.
    const qsizetype end = name == "filename" ? line.lastIndexOf('"') : line.indexOf('"', start);
    return end > start ? line.mid(start, end - start) : QByteArray();
}

} // namespace

struct UploadServer::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray buffer;
    bool answered = false;
};

QString checkMultipartUpload(const QByteArray& contentType, const QByteArray& body,
                             ReceivedUpload& out) {
    const QByteArray prefix = "multipart/form-data; boundary=";
    if (!contentType.startsWith(prefix) || contentType.size() == prefix.size()) {
        return QStringLiteral("Content-Type is not multipart/form-data with a boundary");
    }
    const QByteArray delimiter = "--" + contentType.mid(prefix.size());
    const QByteArray opening = "\r\n" + delimiter + "\r\n";
    if (!body.startsWith(opening)) {
        return QStringLiteral("body does not start with the delimiter line");
    }
    const qsizetype headEnd = body.indexOf("\r\n\r\n", opening.size());
    if (headEnd < 0) {
        return QStringLiteral("part header not terminated");
    }
    const QByteArray partHead = body.mid(opening.size(), headEnd - opening.size());
    const QList<QByteArray> lines = partHead.split('\n');
    QByteArray disposition;
    for (const QByteArray& l : lines) {
        if (l.startsWith("Content-Disposition: form-data;")) {
            disposition = l.trimmed();
        }
    }
    if (disposition.isEmpty()) {
        return QStringLiteral("part without Content-Disposition: form-data");
    }
    out.fieldName = parameter(disposition, "name");
    out.fileName = parameter(disposition, "filename");
    const qsizetype contentStart = headEnd + 4;
    const QByteArray closing = "\r\n" + delimiter + "--\r\n";
    const qsizetype next = body.indexOf("\r\n" + delimiter, contentStart);
    if (next < 0) {
        return QStringLiteral("no closing delimiter");
    }
    if (body.mid(next) != closing) {
        return QStringLiteral("more than one part or bytes after the closing delimiter");
    }
    out.image = body.mid(contentStart, next - contentStart);
    if (out.fieldName.isEmpty() || out.fileName.isEmpty()) {
        return QStringLiteral("part without name or filename");
    }
    return {};
}

UploadServer::UploadServer(QObject* parent) : QObject(parent) {}

UploadServer::~UploadServer() {
    for (auto& [socket, connection] : open_) {
        socket->disconnect(this);
        delete socket;
    }
}

bool UploadServer::listen(const QHostAddress& address, quint16 port) {
    auto server = std::make_unique<QTcpServer>();
    if (!server->listen(address, port)) {
        return false;
    }
    connect(server.get(), &QTcpServer::newConnection, this, &UploadServer::onNewConnection);
    server_ = std::move(server);
    return true;
}

quint16 UploadServer::port() const {
    return server_ ? server_->serverPort() : 0;
}

void UploadServer::onNewConnection() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        ++connections_;
        auto owned = std::make_unique<Connection>(Connection{socket, {}, false});
        Connection* c = owned.get();
        open_.emplace(socket, std::move(owned));
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            socket->disconnect(this);
            socket->deleteLater();
            open_.erase(socket);
        });
    }
}

void UploadServer::onReadyRead(Connection* c) {
    if (c->answered) {
        c->socket->readAll();
        return;
    }
    c->buffer += c->socket->readAll();
    const qsizetype headEnd = c->buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (c->buffer.size() > kMaxHead) {
            c->socket->abort();
        }
        return;
    }
    const QByteArray head = c->buffer.left(headEnd + 4);
    bool ok = false;
    const qint64 length = headerValue(head, "Content-Length").toLongLong(&ok);
    if (!ok || length < 0 || length > kMaxBody) {
        ReceivedUpload upload;
        upload.requestHead = head;
        upload.problem = QStringLiteral("missing or invalid Content-Length");
        answer(c, upload);
        return;
    }
    if (c->buffer.size() - head.size() < length) {
        return;
    }
    ReceivedUpload upload;
    upload.requestHead = head;
    upload.body = c->buffer.mid(head.size(), length);
    const QByteArray requestLine = head.left(head.indexOf("\r\n"));
    if (requestLine != "POST /mpfsupload HTTP/1.0" && requestLine != "POST /mpfsupload HTTP/1.1") {
        upload.problem =
            QStringLiteral("unexpected request line: ") + QString::fromLatin1(requestLine);
    } else {
        upload.problem =
            checkMultipartUpload(headerValue(head, "Content-Type"), upload.body, upload);
    }
    if (upload.problem.isEmpty()) {
        lastImage_ = upload.image;
    }
    answer(c, upload);
}

void UploadServer::answer(Connection* c, const ReceivedUpload& upload) {
    c->answered = true;
    uploads_.append(upload);
    emit uploadReceived(upload);
    const UploadServerBehaviour b = behaviour_;
    using Ending = UploadServerBehaviour::Ending;
    if (b.ending == Ending::Stall) {
        return;
    }
    if (b.ending == Ending::CloseBeforeReply) {
        c->socket->disconnectFromHost();
        return;
    }
    const int status = upload.problem.isEmpty() ? b.status : 400;
    const QByteArray reason = upload.problem.isEmpty() ? b.reason : QByteArray("Bad Request");
    const QByteArray body = upload.problem.isEmpty() ? b.body : upload.problem.toUtf8();
    QByteArray reply = "HTTP/1.0 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    reply += "Content-Type: text/html\r\n";
    if (!b.location.isEmpty()) {
        reply += "Location: " + b.location + "\r\n";
    }
    if (!b.setCookie.isEmpty()) {
        reply += "Set-Cookie: " + b.setCookie + "\r\n";
    }
    if (b.chunked) {
        reply += "Transfer-Encoding: chunked\r\n\r\n";
        // Two chunks, so the reader has to join them.
        const qsizetype half = body.size() / 2;
        for (const QByteArray& piece : {body.left(half), body.mid(half)}) {
            if (!piece.isEmpty()) {
                reply += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
            }
        }
        reply += "0\r\n\r\n";
    } else if (b.ending == Ending::CloseMidReply) {
        reply += "Content-Length: " + QByteArray::number(body.size() + 100) + "\r\n\r\n" + body;
    } else {
        reply += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    c->socket->write(reply);
    c->socket->disconnectFromHost();
}

} // namespace hq::sim
