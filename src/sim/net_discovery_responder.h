// The simulated cabinet's UDP discovery responder, for tests and the simulated LAN tab.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

#include <memory>

class QUdpSocket;

namespace hq::sim {

// Answers every "Discovery: Who is out there?" datagram with "HQ3746" + description + one final
// byte, sent back to the request's source address and port.
class DiscoveryResponder : public QObject {
    Q_OBJECT
public:
    explicit DiscoveryResponder(QObject* parent = nullptr);
    ~DiscoveryResponder() override;

    // Binds to address:port (port 0 picks a free one). False when the port is taken.
    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;

    QByteArray description() const { return description_; }
    void setDescription(const QByteArray& description) { description_ = description; }
    // The byte after the description, which the monitor never shows (CR LF ends in LF).
    char finalByte() const { return finalByte_; }
    void setFinalByte(char byte) { finalByte_ = byte; }
    // How many answers each request gets (a cabinet that answers twice is listed twice).
    int answersPerRequest() const { return answers_; }
    void setAnswersPerRequest(int count) { answers_ = count; }

    int requestsSeen() const { return requests_; }

signals:
    void requestAnswered(const QHostAddress& sender, quint16 port);

private:
    void onReadyRead();

    std::unique_ptr<QUdpSocket> socket_;
    QByteArray description_ = "Simulated cabinet";
    char finalByte_ = '\0';
    int answers_ = 1;
    int requests_ = 0;
};

} // namespace hq::sim
