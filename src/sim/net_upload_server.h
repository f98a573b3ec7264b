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

    bool Listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;

    UploadServerBehaviour behaviour() const { return m_behaviour; }
    void setBehaviour(const UploadServerBehaviour& behaviour) { m_behaviour = behaviour; }

    const QList<ReceivedUpload>& uploads() const { return m_uploads; }
    // The image of the last well-formed upload.
    QByteArray lastImage() const { return m_lastImage; }
    int connectionsSeen() const { return m_connections; }

signals:
    void uploadReceived(const hq::sim::ReceivedUpload& upload);

private:
    struct Connection;
    void OnNewConnection();
    void OnReadyRead(Connection* c);
    void Answer(Connection* c, const ReceivedUpload& upload);

    std::unique_ptr<QTcpServer> m_server;
    std::map<QTcpSocket*, std::unique_ptr<Connection>> m_open;
    UploadServerBehaviour m_behaviour;
    QList<ReceivedUpload> m_uploads;
    QByteArray m_lastImage;
    int m_connections = 0;
};

// Checks one multipart/form-data body with one file part against the boundary of contentType.
// Fills fieldName, fileName and image; returns an empty text when the body is well formed.
QString CheckMultipartUpload(const QByteArray& contentType, const QByteArray& body,
                             ReceivedUpload& out);

} // namespace hq::sim
