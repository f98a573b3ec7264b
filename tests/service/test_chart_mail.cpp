#include "service/chart_mail.h"

#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

using namespace hq::service;

class TestChartMail : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void resultTexts_data();
    void resultTexts();
    void xdgEmailOutcomes_data();
    void xdgEmailOutcomes();
    void missingAttachmentSendsNothing();
    void missingMailTool();
    void tempFileName();
    void errorBoxText();
    void helpdeskAddress();

private:
    QTemporaryDir bin_;
    QByteArray oldPath_;
    QString argsFile_;
};

void TestChartMail::initTestCase() {
    // A stand-in for xdg-email that records its arguments and exits as told.
    argsFile_ = bin_.filePath("args.txt");
    QFile script(bin_.filePath("xdg-email"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n"
                 "printf '%s\\n' \"$@\" > \"$FAKE_MAIL_ARGS\"\n"
                 "[ \"$FAKE_MAIL_EXIT\" = signal ] && kill -9 $$\n"
                 "exit ${FAKE_MAIL_EXIT:-0}\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                  QFileDevice::WriteOwner));
    oldPath_ = qgetenv("PATH");
    qputenv("PATH", bin_.path().toLocal8Bit());
    qputenv("FAKE_MAIL_ARGS", argsFile_.toLocal8Bit());
}

void TestChartMail::cleanupTestCase() {
    qputenv("PATH", oldPath_);
}

void TestChartMail::resultTexts_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << "";
    QTest::newRow("1") << 1 << "The user canceled one of the dialog boxes!";
    QTest::newRow("2") << 2 << "One or more unspecified errors occurred!";
    QTest::newRow("3") << 3
                       << "There was no default logon, and the user failed to log on successfully "
                          "when the logon dialog box was displayed!";
    QTest::newRow("5") << 5 << "There was insufficient memory to proceed!";
    QTest::newRow("9") << 9 << "There were too many file attachments!";
    QTest::newRow("10") << 10 << "There were too many recipients!";
    QTest::newRow("11") << 11 << "The specified attachment was not found!";
    QTest::newRow("12") << 12 << "The specified attachment could not be open!";
    QTest::newRow("14") << 14 << "A recipient did not appear in the address list!";
    QTest::newRow("15") << 15 << "The type of a recipient was not MAPI_TO, MAPI_CC, or MAPI_BCC!";
    QTest::newRow("18") << 18 << "The text in the message was too large to sent!";
    QTest::newRow("21") << 21
                        << "A recipient matched more than one of the recipient descriptor "
                           "structures and MAPI_DIALOG was not set!";
    // Codes without a text of their own are failures, not silent successes.
    QTest::newRow("4") << 4 << "Unknown mail error (code 4)!";
    QTest::newRow("26") << 26 << "Unknown mail error (code 26)!";
    QTest::newRow("-1") << -1 << "Unknown mail error (code -1)!";
}

void TestChartMail::resultTexts() {
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(hq::platform::mailResultText(code)), text);
}

void TestChartMail::xdgEmailOutcomes_data() {
    QTest::addColumn<QByteArray>("exit");
    QTest::addColumn<QString>("error");
    QTest::newRow("opened") << QByteArray("0") << "";
    QTest::newRow("syntax error") << QByteArray("1") << "One or more unspecified errors occurred!";
    QTest::newRow("file missing") << QByteArray("2") << "The specified attachment was not found!";
    QTest::newRow("tool missing") << QByteArray("3")
                                  << "The user canceled one of the dialog boxes!";
    QTest::newRow("action failed") << QByteArray("4") << "One or more unspecified errors occurred!";
    QTest::newRow("killed") << QByteArray("signal") << "One or more unspecified errors occurred!";
}

void TestChartMail::xdgEmailOutcomes() {
    QFETCH(QByteArray, exit);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString file = dir.filePath("KOV1234.tmp");
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QFile::remove(argsFile_);
    qputenv("FAKE_MAIL_EXIT", exit);
    auto transport = createSystemMailTransport();
    const MailOutcome r = SendChartMail(*transport, file, kHelpdeskSubject,
                                        QString::fromUtf8(kHelpdeskBodyStart) + "N#12345678",
                                        "hilfe@example.org", kHelpdeskName);
    QCOMPARE(r.error, error);
    if (r.ok()) {
        QVERIFY(r.note.contains(file)); // tells where the attachment is
    }
    QFile args(argsFile_);
    QVERIFY(args.open(QIODevice::ReadOnly));
    const QStringList a = QString::fromUtf8(args.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(a, (QStringList{"--utf8", "--subject", "LB6620-15 - Hilfe", "--body",
                             "Erbitte um Hilfe bei meinem Schrank:N#12345678", "--attach", file,
                             "hilfe@example.org"}));
}

void TestChartMail::missingAttachmentSendsNothing() {
    QFile::remove(argsFile_);
    qputenv("FAKE_MAIL_EXIT", "0");
    auto transport = createSystemMailTransport();
    const MailOutcome r =
        SendChartMail(*transport, "/nonexistent/KOV.tmp", "s", "b", "a@example.org", "n");
    QCOMPARE(r.error, QStringLiteral("File \"/nonexistent/KOV.tmp\" not found!"));
    QVERIFY(!QFileInfo::exists(argsFile_));
}

void TestChartMail::missingMailTool() {
    QTemporaryDir empty;
    qputenv("PATH", empty.path().toLocal8Bit());
    QTemporaryDir dir;
    QFile f(dir.filePath("a.tmp"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    auto transport = createSystemMailTransport();
    const MailOutcome r = SendChartMail(*transport, f.fileName(), "s", "b", "a@example.org", "n");
    qputenv("PATH", bin_.path().toLocal8Bit());
    QCOMPARE(r.error, QStringLiteral("The user canceled one of the dialog boxes!"));
}

void TestChartMail::tempFileName() {
    const QString a = MakeTempFileName(), b = MakeTempFileName();
    QVERIFY(!a.isEmpty() && !b.isEmpty());
    QVERIFY(a != b);
    for (const QString& n : {a, b}) {
        const QFileInfo fi(n);
        QVERIFY(fi.exists());
        QCOMPARE(fi.size(), 0);
        QVERIFY(fi.fileName().startsWith("KOV"));
        QVERIFY(!fi.suffix().isEmpty()); // so no ".hqchart" gets appended
        QFile::remove(n);
    }
}

void TestChartMail::errorBoxText() {
    QCOMPARE(mailErrorMessage("The user canceled one of the dialog boxes!"),
             QStringLiteral("Die Datei konnte nicht per E-Mail versendet werden!\n\r\n\rMeldung:"
                            "\n\rThe user canceled one of the dialog boxes!"));
}

void TestChartMail::helpdeskAddress() {
    QProcessEnvironment env;
    QCOMPARE(hq::service::helpdeskAddress(env), defaultHelpdeskAddress());
    QVERIFY(defaultHelpdeskAddress().contains('@'));
    env.insert(kHelpdeskAddressVariable, "  ");
    QCOMPARE(hq::service::helpdeskAddress(env), defaultHelpdeskAddress());
    env.insert(kHelpdeskAddressVariable, "service@example.org");
    QCOMPARE(hq::service::helpdeskAddress(env), QStringLiteral("service@example.org"));
}

QTEST_GUILESS_MAIN(TestChartMail)
#include "test_chart_mail.moc"
