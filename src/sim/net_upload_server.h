// The simulated cabinet's web server: takes the web image that the monitor posts to
// "/mpfsupload", for tests and the simulated LAN tab.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;

namespace hq::sim {

// How the server answers the next requests.
struct UploadServerBehaviour {
    enum class Ending {
        Reply,            // send the whole reply and close
        Stall,            // read the request, never answer, keep the connection open
        CloseBeforeReply, // read the request and close without a word
        CloseMidReply,    // send the headers and part of the announced body, then close
    };
    int status = 200;
    QByteArray reason = "OK";
    QByteArray location;  // Location header when not empty (for redirects)
    QByteArray setCookie; // Set-Cookie header when not empty
    bool chunked = false; // body in chunked transfer coding instead of Content-Length
    QByteArray body = "<html><body>MPFS image received</body></html>";
    Ending ending = Ending::Reply;
};

// What the server took from one request.
struct ReceivedUpload {
    QByteArray requestHead; // request line and headers including the empty line
    QByteArray body;
    QByteArray fieldName; // name= of the file part
    QByteArray fileName;  // filename= of the file part
    QByteArray image;     // the file part's content
    QString problem;      // empty when the request was a well-formed upload
};

// HTTP server for POST /mpfsupload: parses and checks the multipart body, keeps the image and
// answers 200 (or as told); a malformed upload gets 400.
class UploadServer : public QObject {
    Q_OBJECT
public:
    explicit UploadServer(QObject* parent = nullptr);
    ~UploadServer() override;

    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;

    UploadServerBehaviour behaviour() const { return behaviour_; }
    void setBehaviour(const UploadServerBehaviour& behaviour) { behaviour_ = behaviour; }

    const QList<ReceivedUpload>& uploads() const { return uploads_; }
    // The image of the last well-formed upload.
    QByteArray lastImage() const { return lastImage_; }
    int connectionsSeen() const { return connections_; }

signals:
    void uploadReceived(const hq::sim::ReceivedUpload& upload);

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection* c);
    void answer(Connection* c, const ReceivedUpload& upload);

    std::unique_ptr<QTcpServer> server_;
    std::map<QTcpSocket*, std::unique_ptr<Connection>> open_;
    UploadServerBehaviour behaviour_;
    QList<ReceivedUpload> uploads_;
    QByteArray lastImage_;
    int connections_ = 0;
};

// Checks one multipart/form-data body with one file part against the boundary of contentType.
// Fills fieldName, fileName and image; returns an empty text when the body is well formed.
QString checkMultipartUpload(const QByteArray& contentType, const QByteArray& body,
                             ReceivedUpload& out);

} // namespace hq::sim
