// The window's "LAN" tab against the simulated cabinet on loopback: discovery (memo lines, list
// entries, one datagram per tick, the address field) and the web image upload (outcome lines,
// progress bar, one upload at a time, the two refusals before anything is sent).
// Everything is sent to 127.0.0.1 only.
#include "../wine_quirks.h"
#include "monitor_test_support.h"

#include "monitor/schrank_lan.h"
#include "network/schrankip.h"
#include "sim/net_discovery_responder.h"
#include "sim/net_upload_server.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QUdpSocket>

using namespace hq;
using hq::test::control;
using hq::test::WindowFixture;

namespace {

const QHostAddress kLoopback(QHostAddress::LocalHost);

// A port on which nobody listens: taken from a server that is closed again.
quint16 closedPort() {
    sim::UploadServer server;
    if (!server.listen(kLoopback, 0))
        return 0;
    return server.port();
}

QStringList memoLines(WindowFixture& fx) {
    return control<QPlainTextEdit>(*fx.form, "UDPMemo")->toPlainText().split(u'\n');
}

QStringList listEntries(WindowFixture& fx) {
    QStringList entries;
    const QListWidget* list = control<QListWidget>(*fx.form, "Netzwerksuche");
    for (int i = 0; i < list->count(); ++i)
        entries << list->item(i)->text();
    return entries;
}

// A window whose LAN tab talks to the given loopback ports; Timer2 is driven by the test.
struct LanWindow {
    explicit LanWindow(quint16 discoveryPort, quint16 uploadPort = 1,
                       std::function<void(monitor::SchrankFormOptions&)> adjust = {})
        : fx([&](monitor::SchrankFormOptions& o) {
              o.lan.discoveryTarget = kLoopback;
              o.lan.discoveryPort = discoveryPort;
              o.lan.uploadPort = uploadPort;
              o.lan.pollIntervalMs = 3600 * 1000;
              o.lan.showMessage = [this](const QString& text) { messages << text; };
              if (adjust)
                  adjust(o);
          }) {
        control<QComboBox>(*fx.form, "ComboBox1")->setEditText(QStringLiteral("127.0.0.1"));
    }
    monitor::SchrankLan& lan() { return fx.form->lan(); }
    monitor::SchrankForm& form() { return *fx.form; }
    // Puts a web image beside the executable; its path, or empty when it cannot be written.
    QString placeImage(const QByteArray& bytes = "image") {
        const QString path = fx.appDir.filePath(QStringLiteral("MPFSImg_DC.bin"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }

    QStringList messages;
    WindowFixture fx;
};

// Waits until the discovery socket has something to read (the answers travel over loopback).
bool waitForAnswers(sim::DiscoveryResponder& responder, int requests) {
    return QTest::qWaitFor([&] { return responder.requestsSeen() >= requests; }, 5000) &&
           (QTest::qWait(50), true);
}

} // namespace

class TestSchrankLan : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // The user's data folder, where the web image is also looked for, points at a test
        // folder instead of the real one.
        QStandardPaths::setTestModeEnabled(true);
    }

    void startUpFillsTheTab() {
        WindowFixture fx;
        QCOMPARE(control<QLabel>(*fx.form, "HostName")->text(), localHostName());
        QCOMPARE(control<QComboBox>(*fx.form, "ComboBox1")->count(), ListLocalAddresses().size());
        if (control<QComboBox>(*fx.form, "ComboBox1")->count() > 0)
            QCOMPARE(control<QComboBox>(*fx.form, "ComboBox1")->currentIndex(), 0);
        QVERIFY(fx.form->lan().timer2().isActive());
        QCOMPARE(fx.form->lan().timer2().interval(), 1000);
        QCOMPARE(fx.form->lan().discovery().targetAddress(), QHostAddress(QHostAddress::Broadcast));
        QCOMPARE(fx.form->lan().discovery().targetPort(), quint16(30303));
        QCOMPARE(fx.form->lan().upload().port(), quint16(80));
        // A connection attempt is given up after two minutes.
        QCOMPARE(fx.form->lan().upload().connectTimeout(), 120000);
        QCOMPARE(fx.form->lan().schrankipText(), QString::fromLatin1(kEmptySchrankip));
    }

    void searchListsTheCabinet_data() {
        QTest::addColumn<QByteArray>("description");
        QTest::addColumn<char>("finalByte");
        QTest::addColumn<QString>("entry");
        QTest::newRow("line end") << QByteArray(" Raum 12\r") << '\n'
                                  << QStringLiteral("127.0.0.1 - Raum 12");
        QTest::newRow("last byte is dropped")
            << QByteArray(" Raum 1") << '2' << QStringLiteral("127.0.0.1 - Raum 1");
        QTest::newRow("seven bytes") << QByteArray() << ' ' << QStringLiteral("127.0.0.1 - ");
        QTest::newRow("blanks and controls trimmed") << QByteArray("\t  Schrank 3 \x01") << '\n'
                                                     << QStringLiteral("127.0.0.1 - Schrank 3");
    }
    void searchListsTheCabinet() {
        QFETCH(QByteArray, description);
        QFETCH(char, finalByte);
        QFETCH(QString, entry);
        sim::DiscoveryResponder responder;
        QVERIFY(responder.listen(kLoopback, 0));
        responder.setDescription(description);
        responder.setFinalByte(finalByte);
        LanWindow w(responder.port());

        control<QProgressBar>(w.form(), "ProgressBar1")->setValue(42);
        w.lan().Button3Click();
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 100);
        QCOMPARE(memoLines(w.fx),
                 QStringList{QStringLiteral("Sending Discovery: Who is out there?")});
        QVERIFY(waitForAnswers(responder, 1));
        QVERIFY(w.fx.errors.empty());

        w.lan().Timer2Timer();
        QCOMPARE(listEntries(w.fx), QStringList{entry});
        const QString received = QStringLiteral("Received: HQ3746") +
                                 QString::fromLatin1(description + finalByte) +
                                 QStringLiteral("127.0.0.1");
        // The memo splits the line at the reply's own line breaks.
        QCOMPARE(control<QPlainTextEdit>(w.form(), "UDPMemo")->toPlainText(),
                 QStringLiteral("Sending Discovery: Who is out there?\n") +
                     QString(received)
                         .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
                         .replace(u'\r', u'\n'));

        // Choosing the entry fills the address field in its mask's shape.
        control<QListWidget>(w.form(), "Netzwerksuche")->setCurrentRow(0);
        QCOMPARE(w.lan().schrankipText(), QStringLiteral("127.  0.  0.  1"));
    }

    void oneDatagramPerTick() {
        sim::DiscoveryResponder responder;
        QVERIFY(responder.listen(kLoopback, 0));
        responder.setDescription(" Raum 7\r");
        responder.setFinalByte('\n');
        responder.setAnswersPerRequest(3);
        LanWindow w(responder.port());

        w.lan().Timer2Timer(); // before the first search: nothing
        QCOMPARE(control<QPlainTextEdit>(w.form(), "UDPMemo")->toPlainText(), QString());

        w.lan().Button3Click();
        QVERIFY(waitForAnswers(responder, 1));
        for (int tick = 1; tick <= 3; ++tick) {
            w.lan().Timer2Timer();
            QCOMPARE(control<QListWidget>(w.form(), "Netzwerksuche")->count(), tick);
        }
        w.lan().Timer2Timer();
        QCOMPARE(control<QListWidget>(w.form(), "Netzwerksuche")->count(),
                 3); // not de-duplicated, nothing more queued

        // A second search empties the list before it sends; its answers come one per tick.
        w.lan().Button3Click();
        QCOMPARE(control<QListWidget>(w.form(), "Netzwerksuche")->count(), 0);
        QVERIFY(waitForAnswers(responder, 2));
        w.lan().Timer2Timer();
        QCOMPARE(listEntries(w.fx), QStringList{QStringLiteral("127.0.0.1 - Raum 7")});
    }

    void otherDatagrams_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QStringList>("memo"); // after the search's line
        QTest::newRow("lower-case head")
            << QByteArray("hq3746 Raum 12\n")
            << QStringList{QStringLiteral("Received: hq3746 Raum 12"), QStringLiteral("127.0.0.1"),
                           QStringLiteral("hq3746")};
        QTest::newRow("short") << QByteArray("ABC")
                               << QStringList{QStringLiteral("Received: ABC127.0.0.1"),
                                              QStringLiteral("ABC")};
        QTest::newRow("empty") << QByteArray() << QStringList{};
    }
    void otherDatagrams() {
        QFETCH(QByteArray, datagram);
        QFETCH(QStringList, memo);
        LanWindow w(closedPort());
        w.lan().Button3Click();
        QVERIFY(w.lan().discovery().isOpen());

        QUdpSocket sender;
        QVERIFY(sender.bind(kLoopback, 0));
        QCOMPARE(sender.writeDatagram(datagram, kLoopback, w.lan().discovery().localPort()),
                 qint64(datagram.size()));
        QTest::qWait(50);
        w.lan().Timer2Timer();
        QCOMPARE(control<QListWidget>(w.form(), "Netzwerksuche")->count(), 0);
        QCOMPARE(memoLines(w.fx).mid(1), memo);
    }

    void receiveFailureIsAMemoLine() {
        // A datagram longer than the receive buffer: a line in the memo, no error box.
        LanWindow w(closedPort());
        w.lan().Button3Click();
        QUdpSocket sender;
        QVERIFY(sender.bind(kLoopback, 0));
        const QByteArray huge(9000, 'H');
        QCOMPARE(sender.writeDatagram(huge, kLoopback, w.lan().discovery().localPort()),
                 qint64(huge.size()));
        QTest::qWait(50);
        w.lan().Timer2Timer();
        QVERIFY(w.fx.errors.empty());
        QCOMPARE(control<QListWidget>(w.form(), "Netzwerksuche")->count(), 0);
        const QStringList lines = memoLines(w.fx);
        QVERIFY2(lines.size() >= 2 && lines.at(1).startsWith(QStringLiteral("Socket-Fehler # ")),
                 qPrintable(lines.join(u'|')));
    }

    void localAddressChoiceBindsTheSocket_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("loopbackAsCard"); // the interface list says 127.0.0.1 is a card
        QTest::addColumn<QHostAddress>("bound");
        // The resolver often lists 127.0.0.1 first: bound to it, the broadcast would never leave
        // the PC, so the socket stays unbound.
        QTest::newRow("loopback") << QStringLiteral("127.0.0.1") << false
                                  << QHostAddress(QHostAddress::AnyIPv4);
        QTest::newRow("a card that can broadcast")
            << QStringLiteral("127.0.0.1") << true << kLoopback;
        QTest::newRow("not an address")
            << QStringLiteral("Netzwerkkarte 2") << false << QHostAddress(QHostAddress::AnyIPv4);
        QTest::newRow("no address of this PC")
            << QStringLiteral("192.0.2.77") << false << QHostAddress(QHostAddress::AnyIPv4);
    }
    void localAddressChoiceBindsTheSocket() {
        QFETCH(QString, text);
        QFETCH(bool, loopbackAsCard);
        QFETCH(QHostAddress, bound);
        sim::DiscoveryResponder responder;
        QVERIFY(responder.listen(kLoopback, 0));
        LanWindow w(responder.port());
        if (loopbackAsCard)
            w.lan().discovery().setInterfaceLister([] {
                return QList<InterfaceAddress>{{kLoopback, true, true, false}};
            });
        control<QComboBox>(w.form(), "ComboBox1")->setEditText(text);
        w.lan().Button3Click();
        QVERIFY(w.fx.errors.empty());
        QCOMPARE(w.lan().discovery().localAddress(), bound);
        // Either way the answer comes back on the same socket.
        QVERIFY(waitForAnswers(responder, 1));
        w.lan().Timer2Timer();
        QCOMPARE(control<QListWidget>(w.form(), "Netzwerksuche")->count(), 1);
    }

    void addressField_data() {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("field");
        QTest::newRow("short groups")
            << QStringLiteral("10.0.0.7 - Schrank 3") << QStringLiteral(" 10.  0.  0.  7");
        QTest::newRow("full groups")
            << QStringLiteral("192.168.100.250 - x") << QStringLiteral("192.168.100.250");
        QTest::newRow("no address keeps the field")
            << QStringLiteral("HQ3746 - x") << QString::fromLatin1(kEmptySchrankip);
    }
    void addressField() {
        QFETCH(QString, entry);
        QFETCH(QString, field);
        LanWindow w(closedPort());
        control<QListWidget>(w.form(), "Netzwerksuche")->addItem(entry);
        control<QListWidget>(w.form(), "Netzwerksuche")->setCurrentRow(0);
        QCOMPARE(w.lan().schrankipText(), field);
    }

    void typedAddressIsLaidOut_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("returnKey"); // else the field loses the focus
        QTest::addColumn<QString>("field");
        QTest::newRow("dotted, Return")
            << QStringLiteral("192.168.1.50") << true << QStringLiteral("192.168.  1. 50");
        QTest::newRow("dotted, focus out")
            << QStringLiteral("10.0.0.7") << false << QStringLiteral(" 10.  0.  0.  7");
        QTest::newRow("full groups")
            << QStringLiteral("192.168.100.250") << true << QStringLiteral("192.168.100.250");
        QTest::newRow("incomplete stays")
            << QStringLiteral("10.1") << false << QStringLiteral("10 .1  .   .   ");
    }
    void typedAddressIsLaidOut() {
        // Typed groups stand where the cursor left them until the typing ends (Return or leaving
        // the field); a complete address is then laid out like a chosen list entry.
        QFETCH(QString, typed);
        QFETCH(bool, returnKey);
        QFETCH(QString, field);
        LanWindow w(closedPort());
        QLineEdit* edit = control<QLineEdit>(w.form(), "Schrankip");
        edit->setFocus();
        edit->home(false);
        QTest::keyClicks(edit, typed);
        if (returnKey) {
            QTest::keyClick(edit, Qt::Key_Return);
        } else {
            QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
            QApplication::sendEvent(edit, &out);
        }
        QCOMPARE(w.lan().schrankipText(), field);
    }

    void addressMaskNeedsADigitPerGroup_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("complete address") << QStringLiteral("192.168.1.50") << true;
        QTest::newRow("short groups") << QStringLiteral("1.2.3.4") << true;
        QTest::newRow("two groups left empty") << QStringLiteral("192.168.") << false;
        QTest::newRow("last group empty") << QStringLiteral("10.0.0.") << false;
        QTest::newRow("nothing typed") << QString() << false;
    }
    void addressMaskNeedsADigitPerGroup() {
        // Real keys into the field, then the focus moves on, as a user would do it.
        QFETCH(QString, typed);
        QFETCH(bool, acceptable);
        LanWindow w(closedPort());
        w.fx.form->show();
        w.fx.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.fx.form.get()));
        control<QTabWidget>(w.form(), "PageControl1")
            ->setCurrentWidget(control<QWidget>(w.form(), "TabSheet2"));
        QLineEdit* edit = control<QLineEdit>(w.form(), "Schrankip");
        edit->setFocus();
        QVERIFY(QTest::qWaitFor([&] { return edit->hasFocus(); }, 2000));
        edit->home(false);
        QTest::keyClicks(edit, typed);
        control<QPushButton>(w.form(), "Button3")->setFocus();
        QVERIFY(QTest::qWaitFor([&] { return !edit->hasFocus(); }, 2000));
        QCOMPARE(edit->hasAcceptableInput(), acceptable);
        QCOMPARE(isCompleteSchrankip(w.lan().schrankipText()), acceptable);
        if (typed.isEmpty())
            QCOMPARE(w.lan().schrankipText(), QStringLiteral("   .   .   .   "));
        if (acceptable)
            QCOMPARE(w.lan().schrankipText(), *formatSchrankip(typed));
    }

    void progressStaysAtZeroUntilTheEnd() {
        // The bar shows 0 while the image goes out and the cabinet has not answered, 100 once it
        // has.
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        sim::UploadServerBehaviour stall;
        stall.ending = sim::UploadServerBehaviour::Ending::Stall;
        server.setBehaviour(stall);
        LanWindow w(closedPort(), server.port());
        QVERIFY(!w.placeImage(QByteArray(300000, '\x5a')).isEmpty());
        QSignalSpy done(&w.lan(), &monitor::SchrankLan::uploadFinished);
        QSignalSpy progress(&w.lan().upload(), &UploadClient::progress);
        QList<int> shown;
        connect(control<QProgressBar>(w.form(), "ProgressBar1"), &QProgressBar::valueChanged, this,
                [&shown](int v) { shown.append(v); });
        control<QLineEdit>(w.form(), "Schrankip")->setText(QStringLiteral("127.  0.  0.  1"));
        control<QProgressBar>(w.form(), "ProgressBar1")->setValue(100);
        shown.clear();
        w.lan().Button2Click();
        QVERIFY(QTest::qWaitFor([&] { return server.uploads().size() == 1; }, 10000));
        QTRY_VERIFY(!progress.isEmpty() &&
                    progress.last().at(0).toLongLong() == progress.last().at(1).toLongLong());
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 0);
        QCOMPARE(shown, QList<int>{0});
        w.lan().upload().abort();
        QCOMPARE(done.size(), 1);
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 0);

        server.setBehaviour({});
        control<QProgressBar>(w.form(), "ProgressBar1")->setValue(50);
        shown.clear();
        w.lan().Button2Click();
        QVERIFY(done.wait(10000));
        QCOMPARE(shown, (QList<int>{0, 100}));
    }

    void uploadSucceeds() {
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        LanWindow w(closedPort(), server.port());
        const QByteArray image = QByteArray("MPFS") + QByteArray(70000, '\x5a') + "end";
        const QString path = w.placeImage(image);
        QVERIFY(!path.isEmpty());

        QSignalSpy done(&w.lan(), &monitor::SchrankLan::uploadFinished);
        control<QLineEdit>(w.form(), "Schrankip")->setText(QStringLiteral("127.  0.  0.  1"));
        control<QPushButton>(w.form(), "Button2")->click();
        QVERIFY(done.wait(10000));
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 100);
        QCOMPARE(memoLines(w.fx).last(), QStringLiteral("MPFS upload done: HTTP 200"));
        QVERIFY(w.fx.errors.empty());
        QVERIFY(w.messages.isEmpty());

        QCOMPARE(server.uploads().size(), 1);
        const sim::ReceivedUpload& got = server.uploads().front();
        QVERIFY2(got.problem.isEmpty(), qPrintable(got.problem));
        QCOMPARE(server.lastImage(), image);
        QCOMPARE(got.fieldName, QByteArray("/mpfsupload"));
        QCOMPARE(got.fileName, QFile::encodeName(QDir::toNativeSeparators(path)));
        QVERIFY(got.requestHead.startsWith("POST /mpfsupload HTTP/1.0\r\n"));
        QVERIFY(got.requestHead.contains(QByteArray("\r\nHost: 127.0.0.1:") +
                                         QByteArray::number(server.port()) + "\r\n"));
    }

    void uploadFails_data() {
        QTest::addColumn<int>("status"); // 0: nobody listens
        QTest::addColumn<int>("ending");
        QTest::addColumn<QString>("line");
        using E = sim::UploadServerBehaviour::Ending;
        QTest::newRow("500") << 500 << int(E::Reply)
                             << QStringLiteral("MPFS upload failed: HTTP 500");
        QTest::newRow("redirect not followed")
            << 302 << int(E::Reply) << QStringLiteral("MPFS upload failed: HTTP 302");
        QTest::newRow("refused") << 0 << int(E::Reply)
                                 << QStringLiteral("MPFS upload failed: connection refused");
        QTest::newRow("closed before reply")
            << 200 << int(E::CloseBeforeReply) << QStringLiteral("MPFS upload failed: ");
        QTest::newRow("closed in the body")
            << 200 << int(E::CloseMidReply) << QStringLiteral("MPFS upload failed: ");
    }
    void uploadFails() {
        QFETCH(int, status);
        QFETCH(int, ending);
        QFETCH(QString, line);
        if (QByteArray(QTest::currentDataTag()) == "refused" && hq::test::runningUnderWine())
            QSKIP("Wine reports a connection to a closed loopback port as a time-out, not as "
                  "refused");
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        sim::UploadServerBehaviour behaviour;
        behaviour.status = status;
        behaviour.reason = status == 302 ? "Found" : "Internal Server Error";
        if (status == 302)
            behaviour.location = "http://127.0.0.1/index.htm";
        behaviour.ending = static_cast<sim::UploadServerBehaviour::Ending>(ending);
        server.setBehaviour(behaviour);
        const quint16 port = status == 0 ? closedPort() : server.port();
        LanWindow w(closedPort(), port);
        QVERIFY(!w.placeImage().isEmpty());

        QSignalSpy done(&w.lan(), &monitor::SchrankLan::uploadFinished);
        control<QLineEdit>(w.form(), "Schrankip")->setText(QStringLiteral("127.  0.  0.  1"));
        control<QProgressBar>(w.form(), "ProgressBar1")->setValue(100);
        w.lan().Button2Click();
        QVERIFY(done.wait(10000));
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 0);
        const QString last = memoLines(w.fx).last();
        QVERIFY2(last.startsWith(line), qPrintable(last));
        QVERIFY(w.fx.errors.empty());
        QCOMPARE(server.connectionsSeen(), status == 0 ? 0 : 1);
    }

    void secondUploadRefusedWhileOneRuns() {
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        sim::UploadServerBehaviour stall;
        stall.ending = sim::UploadServerBehaviour::Ending::Stall;
        server.setBehaviour(stall);
        LanWindow w(closedPort(), server.port(),
                    [](monitor::SchrankFormOptions& o) { o.lan.uploadReplyTimeoutMs = 1500; });
        QVERIFY(!w.placeImage().isEmpty());
        QSignalSpy done(&w.lan(), &monitor::SchrankLan::uploadFinished);
        control<QLineEdit>(w.form(), "Schrankip")->setText(QStringLiteral("127.  0.  0.  1"));

        // The click returns at once; the window keeps running while the cabinet is silent.
        QElapsedTimer clock;
        clock.start();
        w.lan().Button2Click();
        QVERIFY(clock.elapsed() < 500);
        QVERIFY(w.lan().upload().isRunning());
        QVERIFY(QTest::qWaitFor([&] { return server.uploads().size() == 1; }, 5000));
        const int linesBefore = memoLines(w.fx).size();
        w.lan().Button2Click();
        QCOMPARE(memoLines(w.fx).size(), linesBefore + 1);
        QVERIFY(memoLines(w.fx).last().contains(QStringLiteral("already running")));
        QCOMPARE(done.count(), 0);

        // The silent cabinet is given up after the reply time limit; then a new upload may start.
        QVERIFY(done.wait(10000));
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 0);
        QVERIFY(memoLines(w.fx).last().startsWith(QStringLiteral("MPFS upload failed: timed out")));
        QCOMPARE(server.connectionsSeen(), 1);
        server.setBehaviour({});
        w.lan().Button2Click();
        QVERIFY(done.wait(10000));
        QCOMPARE(memoLines(w.fx).last(), QStringLiteral("MPFS upload done: HTTP 200"));
        QCOMPARE(server.connectionsSeen(), 2);
    }

    void windowWorksDuringUpload() {
        // While the cabinet keeps an upload waiting, the window's own timer goes on: a search
        // started meanwhile lists its answer through Timer2 and the event loop.
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        sim::UploadServerBehaviour stall;
        stall.ending = sim::UploadServerBehaviour::Ending::Stall;
        server.setBehaviour(stall);
        sim::DiscoveryResponder responder;
        QVERIFY(responder.listen(kLoopback, 0));
        responder.setDescription(" Raum 4\r");
        responder.setFinalByte('\n');
        LanWindow w(responder.port(), server.port(),
                    [](monitor::SchrankFormOptions& o) { o.lan.pollIntervalMs = 50; });
        QVERIFY(!w.placeImage().isEmpty());
        control<QLineEdit>(w.form(), "Schrankip")->setText(QStringLiteral("127.  0.  0.  1"));
        control<QPushButton>(w.form(), "Button2")->click();
        QVERIFY(QTest::qWaitFor([&] { return server.uploads().size() == 1; }, 5000));
        QVERIFY(w.lan().upload().isRunning());

        control<QPushButton>(w.form(), "Button3")->click();
        QTRY_COMPARE_WITH_TIMEOUT(listEntries(w.fx),
                                  QStringList{QStringLiteral("127.0.0.1 - Raum 4")}, 5000);
        QVERIFY(w.lan().upload().isRunning());
        QVERIFY(w.fx.errors.empty());
        w.lan().upload().abort();
        QCOMPARE(memoLines(w.fx).last(), QStringLiteral("MPFS upload aborted"));
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 0);
    }

    void noCabinetChosen() {
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        LanWindow w(closedPort(), server.port());
        QVERIFY(!w.placeImage().isEmpty());
        w.lan().Button2Click();
        QCOMPARE(w.messages, QStringList{QStringLiteral("Kein Schrank ausgewählt")});
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 100);
        QVERIFY(!w.lan().upload().isRunning());
        QTest::qWait(50);
        QCOMPARE(server.connectionsSeen(), 0);
    }

    void webImageMissing() {
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        LanWindow w(closedPort(), server.port());
        control<QLineEdit>(w.form(), "Schrankip")->setText(QStringLiteral("127.  0.  0.  1"));
        control<QProgressBar>(w.form(), "ProgressBar1")->setValue(100);
        w.lan().Button2Click();
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 0);
        QCOMPARE(w.fx.errors.size(), std::size_t(1));
        const QString expected =
            QStringLiteral("Datei ") +
            QDir::toNativeSeparators(w.fx.appDir.filePath(QStringLiteral("MPFSImg_DC.bin"))) +
            QStringLiteral(" kann nicht geöffnet werden. ");
        QVERIFY2(w.fx.errors.front().startsWith(expected), qPrintable(w.fx.errors.front()));
        QVERIFY(w.messages.isEmpty());
        QVERIFY(!w.lan().upload().isRunning());
        QTest::qWait(50);
        QCOMPARE(server.connectionsSeen(), 0);
    }

    void webImageFromTheUserDataFolder() {
        // Not beside the executable: the copy in the user's data folder is sent.
        const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(QDir().mkpath(dataDir));
        const QString path = QDir(dataDir).filePath(QStringLiteral("MPFSImg_DC.bin"));
        const auto removeImage = qScopeGuard([&] { QFile::remove(path); });
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("from the data folder");
        file.close();
        sim::UploadServer server;
        QVERIFY(server.listen(kLoopback, 0));
        LanWindow w(closedPort(), server.port());
        QCOMPARE(w.lan().webImagePath(), QDir::cleanPath(path));
        QSignalSpy done(&w.lan(), &monitor::SchrankLan::uploadFinished);
        control<QLineEdit>(w.form(), "Schrankip")->setText(QStringLiteral("127.  0.  0.  1"));
        w.lan().Button2Click();
        QVERIFY(done.wait(10000));
        QCOMPARE(server.lastImage(), QByteArray("from the data folder"));
        QCOMPARE(control<QProgressBar>(w.form(), "ProgressBar1")->value(), 100);
    }
};

QTEST_MAIN(TestSchrankLan)
#include "test_schrank_lan.moc"
