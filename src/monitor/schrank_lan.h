// The "LAN" tab of the monitor window: the search for cabinets on the local network
// (Button3Click, Timer2Timer, NetzwerksucheClick), the PC's own addresses (InitLanTab) and the
// upload of the web image "MPFSImg_DC.bin" to the chosen cabinet (Button2Click). Everything runs
// on the window's thread without blocking: answers are taken one per Timer2 tick, and the upload
// reports its outcome when it ends.
#pragma once

#include "monitor/error_sink.h"
#include "network/discovery.h"
#include "network/http_upload.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QValidator>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace hq::monitor {

inline constexpr auto kNoCabinetChosenText = "Kein Schrank ausgewählt";

// Where the LAN tab talks to. The defaults are those of a real network; tests and the simulated
// cabinet point them at loopback.
struct LanOptions {
    QHostAddress discoveryTarget{QHostAddress::Broadcast};
    quint16 discoveryPort = kDiscoveryPort;
    quint16 uploadPort = kHttpPort;
    int uploadConnectTimeoutMs = kDefaultConnectTimeoutMs;
    int uploadReplyTimeoutMs = kDefaultConnectTimeoutMs;
    // Interval of the receive poll Timer2.
    int pollIntervalMs = 1000;
    // Shows a plain message box with an OK button ("Kein Schrank ausgewählt"); none shows a
    // QMessageBox titled like the application.
    std::function<void(const QString& text)> showMessage;
};

// The address field's mask as the cabinet list's users know it: every group needs at least one
// digit (leading blanks allowed, "192.168.  1. 50"); the empty field reads "   .   .   .   ".
class SchrankipValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int& pos) const override;
};

class SchrankLan : public QObject {
    Q_OBJECT
public:
    // The controls of the tab; all belong to the monitor window and outlive this object.
    struct Controls {
        QLabel* HostName = nullptr;
        QComboBox* ComboBox1 = nullptr;
        QPushButton* Button3 = nullptr;
        QProgressBar* ProgressBar1 = nullptr;
        QListWidget* Netzwerksuche = nullptr;
        QLineEdit* Schrankip = nullptr;
        QPushButton* Button2 = nullptr;
        QPlainTextEdit* UDPMemo = nullptr;
    };

    // Connects the controls' signals and starts Timer2. Errors that the window shows in its error
    // box go to errors.
    SchrankLan(const Controls& controls, LanOptions options, QString applicationDir,
               QStringList dataDirs, ErrorSink errors, QObject* parent = nullptr);
    ~SchrankLan() override;

    // Host name and the PC's IPv4 addresses (first one selected).
    void InitLanTab();
    // Sends the discovery request; answers are taken by Timer2Timer.
    void Button3Click();
    // Takes at most one answer.
    void Timer2Timer();
    // Copies the address of the selected list entry into Schrankip.
    void NetzwerksucheClick();
    // Posts the web image to the cabinet in Schrankip.
    void Button2Click();

    // The text of Schrankip in the field's shape: four groups of three positions, short groups
    // filled with leading blanks; "   .   .   .   " when empty.
    QString schrankipText() const;
    // Where the web image is taken from: the first folder that holds it, else the path beside
    // the executable.
    QString webImagePath() const;

    QTimer& timer2() { return Timer2; }
    DiscoveryClient& discovery() { return UDPClient; }
    UploadClient& upload() { return httpMain; }

signals:
    // After an upload ended and its line was written.
    void uploadFinished(const hq::UploadOutcome& outcome);

private:
    void addMemoLine(const QString& line);
    void showMessage(const QString& text);
    void layOutSchrankip();
    void onUploadFinished(const UploadOutcome& outcome);
    template <typename F> void guarded(F&& f) { runGuarded(errors_, std::forward<F>(f)); }

    Controls ui_;
    LanOptions options_;
    QString applicationDir_;
    QStringList dataDirs_;
    ErrorSink errors_;
    QTimer Timer2;
    DiscoveryClient UDPClient;
    UploadClient httpMain;
};

} // namespace hq::monitor
