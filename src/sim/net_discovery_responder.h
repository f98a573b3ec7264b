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
    bool Listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;

    QByteArray description() const { return m_description; }
    void setDescription(const QByteArray& description) { m_description = description; }
    // The byte after the description, which the monitor never shows (CR LF ends in LF).
    char finalByte() const { return m_finalByte; }
    void setFinalByte(char byte) { m_finalByte = byte; }
    // How many answers each request gets (a cabinet that answers twice is listed twice).
    int answersPerRequest() const { return m_answers; }
    void setAnswersPerRequest(int count) { m_answers = count; }

    int requestsSeen() const { return m_requests; }

signals:
    void requestAnswered(const QHostAddress& sender, quint16 port);

private:
    void OnReadyRead();

    std::unique_ptr<QUdpSocket> m_socket;
    QByteArray m_description = "Simulated cabinet";
    char m_finalByte = '\0';
    int m_answers = 1;
    int m_requests = 0;
};

} // namespace hq::sim
