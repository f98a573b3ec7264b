#include "network/multipart_form_data.h"
#include "sim/net_upload_server.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using hq::MultipartFormDataStream;

namespace {

const QDateTime kJune(QDate(2023, 6, 19), QTime(14, 25, 1, 123));

QByteArray bodyWithOnePart(MultipartFormDataStream& s, const QString& field, const QString& name,
                           const QString& type, const QByteArray& content) {
    QBuffer source;
    source.setData(content);
    source.open(QIODevice::ReadOnly);
    source.seek(content.size() / 2); // the whole content counts, wherever the source stands
    const auto error = s.AppendFilePart(field, name, type, source);
    if (error) {
        qWarning("%s", qPrintable(*error));
    }
    s.FinishBody();
    return s.body();
}

} // namespace

class TestMultipart : public QObject {
    Q_OBJECT
private slots:
    void boundary_data();
    void boundary();
    void goldenBody();
    void emptyFileAndContentType();
    void quoteInFileNameUnchanged();
    void positionAndRead();
    void fromFile();
    void openErrorText();
    void windowsSeparators();
    void boundaryInContentIsLengthened_data();
    void boundaryInContentIsLengthened();
    void appendAfterFinishRefused();
    void serverCheckRejectsMalformed_data();
    void serverCheckRejectsMalformed();
};

void TestMultipart::boundary_data() {
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("boundary");
    QTest::newRow("June 2023") << kJune << "---------------------------061923142501123";
    QTest::newRow("3 Jan 2024 09:05:07.004") << QDateTime(QDate(2024, 1, 3), QTime(9, 5, 7, 4))
                                             << "---------------------------010324090507004";
    QTest::newRow("31 Dec 1999 23:59:59.999")
        << QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59, 999))
        << "---------------------------123199235959999";
}

void TestMultipart::boundary() {
    QFETCH(QDateTime, time);
    QFETCH(QString, boundary);
    const MultipartFormDataStream s(time);
    QCOMPARE(s.BoundaryText(), boundary);
    QCOMPARE(s.BoundaryText().size(), 42);
    QCOMPARE(s.BodyContentType(), QStringLiteral("multipart/form-data; boundary=") + boundary);
    QCOMPARE(s.BodyContentType().size(), 72);
    QCOMPARE(s.size(), 0);
    QCOMPARE(s.position(), 0);
}

void TestMultipart::goldenBody() {
    MultipartFormDataStream s(QDateTime(QDate(2024, 1, 3), QTime(9, 5, 7, 4)));
    const QByteArray body = bodyWithOnePart(s, QStringLiteral("/mpfsupload"),
                                            QStringLiteral("D:\\Monitor\\MPFSImg_DC.bin"),
                                            QString(), QByteArray("\x01\x02\r\n", 4));
    const QByteArray expected = "\r\n"
                                "-----------------------------010324090507004\r\n"
                                "Content-Disposition: form-data; name=\"/mpfsupload\"; "
                                "filename=\"D:\\Monitor\\MPFSImg_DC.bin\"\r\n"
                                "Content-Type: \r\n"
                                "\r\n"
                                "\x01\x02\r\n"
                                "\r\n"
                                "-----------------------------010324090507004--\r\n";
    QCOMPARE(body, expected);
    QCOMPARE(body.size(), 210);
    QCOMPARE(s.position(), 0);
    QCOMPARE(s.size(), 210);
}

void TestMultipart::emptyFileAndContentType() {
    MultipartFormDataStream s(kJune);
    const QByteArray body = bodyWithOnePart(s, QStringLiteral("f"), QStringLiteral("n"),
                                            QStringLiteral("application/octet-stream"), {});
    QVERIFY(body.endsWith("Content-Type: application/octet-stream\r\n\r\n\r\n"
                          "-----------------------------061923142501123--\r\n"));
    QCOMPARE(body.size(), 120 + 1 + 1 + 24 + 0 + 50);
}

void TestMultipart::quoteInFileNameUnchanged() {
    MultipartFormDataStream s(kJune);
    const QByteArray body =
        bodyWithOnePart(s, QStringLiteral("f"), QString::fromUtf8("a\"b ü.bin"), QString(), "x");
    QVERIFY(body.contains("; filename=\"a\"b \xFC.bin\"\r\n"));
}

void TestMultipart::positionAndRead() {
    MultipartFormDataStream s(kJune);
    QBuffer source;
    source.setData("abc");
    source.open(QIODevice::ReadOnly);
    QVERIFY(!s.AppendFilePart(QStringLiteral("f"), QStringLiteral("n"), QString(), source));
    QCOMPARE(s.position(), s.size()); // stays at the end after an append
    s.FinishBody();
    QCOMPARE(s.position(), 0);
    QByteArray read(int(s.size()) + 10, '\0');
    QCOMPARE(s.read(read.data(), 5), 5);
    QCOMPARE(s.position(), 5);
    QCOMPARE(s.read(read.data() + 5, 1000), s.size() - 5);
    read.truncate(int(s.size()));
    QCOMPARE(read, s.body());
    QCOMPARE(s.read(read.data(), 10), 0);
}

void TestMultipart::fromFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("MPFSImg_DC.bin"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1000, '\x5A'));
    f.close();
    MultipartFormDataStream s;
    QVERIFY(!s.AppendFilePartFromFile(QStringLiteral("/mpfsupload"), path, QString()));
    s.FinishBody();
    QCOMPARE(s.size(), 1000 + 195 + path.size() - 14);
    hq::sim::ReceivedUpload parsed;
    QCOMPARE(hq::sim::checkMultipartUpload(s.BodyContentType().toLatin1(), s.body(), parsed),
             QString());
    QCOMPARE(parsed.image, QByteArray(1000, '\x5A'));
    // The file name travels with the platform's own separators ("C:\\Temp\\..." on Windows).
    QCOMPARE(parsed.fileName, QDir::toNativeSeparators(path).toLatin1());
    QCOMPARE(parsed.fieldName, QByteArray("/mpfsupload"));
}

void TestMultipart::openErrorText() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing.bin"));
    MultipartFormDataStream s(kJune);
    const auto error = s.AppendFilePartFromFile(QStringLiteral("/mpfsupload"), path, QString());
    QVERIFY(error.has_value());
    QVERIFY2(error->startsWith(QStringLiteral("Datei ") + QDir::toNativeSeparators(path) +
                               QString::fromUtf8(" kann nicht geöffnet werden. ")),
             qPrintable(*error));
    QVERIFY(error->size() > path.size() + 35); // the system's reason follows
    QCOMPARE(s.size(), 0);
}

void TestMultipart::windowsSeparators() {
    // On Windows the part's file name and the error name the path as Windows writes it,
    // "D:\Monitor\MPFSImg_DC.bin", not Qt's "D:/Monitor/MPFSImg_DC.bin".
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("MPFSImg_DC.bin"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("image");
    f.close();
    QString windowsPath = path;
    windowsPath.replace(u'/', u'\\');
    MultipartFormDataStream s;
    QVERIFY(!s.AppendFilePartFromFile(QStringLiteral("/mpfsupload"), path, QString(), u'\\'));
    s.FinishBody();
    hq::sim::ReceivedUpload parsed;
    QCOMPARE(hq::sim::checkMultipartUpload(s.BodyContentType().toLatin1(), s.body(), parsed),
             QString());
    QCOMPARE(parsed.fileName, windowsPath.toLatin1());
    QCOMPARE(parsed.image, QByteArray("image"));

    const QString missing = dir.filePath(QStringLiteral("missing.bin"));
    QString windowsMissing = missing;
    windowsMissing.replace(u'/', u'\\');
    MultipartFormDataStream t;
    const auto error =
        t.AppendFilePartFromFile(QStringLiteral("/mpfsupload"), missing, QString(), u'\\');
    QVERIFY(error.has_value());
    QVERIFY2(error->startsWith(QStringLiteral("Datei ") + windowsMissing + QStringLiteral(" ")),
             qPrintable(*error));
    QVERIFY(!error->contains(u'/'));
    // The platform's own separator is the default.
    MultipartFormDataStream native;
    QVERIFY(!native.AppendFilePartFromFile(QStringLiteral("/mpfsupload"), path, QString()));
    native.FinishBody();
    QVERIFY(native.body().contains(QDir::toNativeSeparators(path).toLatin1()));
}

void TestMultipart::boundaryInContentIsLengthened_data() {
    const QByteArray d = "-----------------------------061923142501123";
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("delimiter line inside") << QByteArray("head\r\n" + d + "\r\ntail");
    QTest::newRow("closing delimiter inside") << QByteArray(d + "--\r\n");
    QTest::newRow("delimiter at the very start") << d;
    QTest::newRow("every follower character taken") << [&] {
        QByteArray c;
        const QByteArray chars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        for (char ch : chars) {
            c += "\r\n" + d + ch + '0' + "\r\n";
        }
        return c;
    }();
}

void TestMultipart::boundaryInContentIsLengthened() {
    QFETCH(QByteArray, content);
    MultipartFormDataStream s(kJune);
    QBuffer first;
    first.setData("first part");
    first.open(QIODevice::ReadOnly);
    QVERIFY(!s.AppendFilePart(QStringLiteral("a"), QStringLiteral("a.bin"), QString(), first));
    QBuffer second;
    second.setData(content);
    second.open(QIODevice::ReadOnly);
    QVERIFY(!s.AppendFilePart(QStringLiteral("b"), QStringLiteral("b.bin"), QString(), second));
    s.FinishBody();
    const QString boundary = s.BoundaryText();
    QVERIFY(boundary.startsWith(QStringLiteral("---------------------------061923142501123")));
    QVERIFY(boundary.size() > 42);
    QVERIFY(!content.contains("--" + boundary.toLatin1()));
    QCOMPARE(s.BodyContentType(), QStringLiteral("multipart/form-data; boundary=") + boundary);
    // Every delimiter in the body uses the new boundary; the content sits unchanged inside.
    const QByteArray delimiter = "\r\n--" + boundary.toLatin1();
    QCOMPARE(s.body().count(delimiter), 3);
    QVERIFY(s.body().startsWith(delimiter + "\r\n"));
    QVERIFY(s.body().endsWith(delimiter + "--\r\n"));
    QVERIFY(s.body().contains("\r\n\r\nfirst part" + delimiter + "\r\n"));
    QVERIFY(s.body().contains("\r\n\r\n" + content + delimiter + "--\r\n"));
}

void TestMultipart::appendAfterFinishRefused() {
    MultipartFormDataStream s(kJune);
    s.FinishBody();
    const QByteArray finished = s.body();
    QBuffer source;
    source.setData("late");
    source.open(QIODevice::ReadOnly);
    QVERIFY(s.AppendFilePart(QStringLiteral("f"), QStringLiteral("n"), QString(), source));
    QCOMPARE(s.body(), finished);
}

// The simulated cabinet's check is the oracle of the upload tests, so it must reject bad bodies.
void TestMultipart::serverCheckRejectsMalformed_data() {
    const QByteArray b = "---------------------------010324090507004";
    const QByteArray head =
        "Content-Disposition: form-data; name=\"/mpfsupload\"; filename=\"f.bin\"\r\n"
        "Content-Type: \r\n\r\n";
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("good");
    const QByteArray type = "multipart/form-data; boundary=" + b;
    const QByteArray good = "\r\n--" + b + "\r\n" + head + "DATA\r\n--" + b + "--\r\n";
    QTest::newRow("well formed") << type << good << true;
    QTest::newRow("other boundary in header") << QByteArray(type + "X") << good << false;
    QTest::newRow("not multipart") << QByteArray("text/html") << good << false;
    QTest::newRow("no leading line end") << type << good.mid(2) << false;
    QTest::newRow("no closing delimiter")
        << type << QByteArray("\r\n--" + b + "\r\n" + head + "DATA") << false;
    QTest::newRow("bytes after closing delimiter") << type << QByteArray(good + "x") << false;
    QTest::newRow("two parts") << type
                               << QByteArray("\r\n--" + b + "\r\n" + head + "A\r\n--" + b + "\r\n" +
                                             head + "B\r\n--" + b + "--\r\n")
                               << false;
    QTest::newRow("no disposition")
        << type << QByteArray("\r\n--" + b + "\r\nContent-Type: \r\n\r\nDATA\r\n--" + b + "--\r\n")
        << false;
}

void TestMultipart::serverCheckRejectsMalformed() {
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, body);
    QFETCH(bool, good);
    hq::sim::ReceivedUpload parsed;
    const QString problem = hq::sim::checkMultipartUpload(contentType, body, parsed);
    QCOMPARE(problem.isEmpty(), good);
    if (good) {
        QCOMPARE(parsed.image, QByteArray("DATA"));
        QCOMPARE(parsed.fileName, QByteArray("f.bin"));
    }
}

QTEST_GUILESS_MAIN(TestMultipart)
#include "test_multipart.moc"
