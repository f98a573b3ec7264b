#include "localization/profile_file.h"
#include "localization/windows1252.h"

#include <QTemporaryDir>
#include <QTest>

using hq::ProfileFile;

class TestProfileFile : public QObject {
    Q_OBJECT
private slots:
    void readString_data();
    void readString();
    void readInteger_data();
    void readInteger();
    void missingFileReadsDefaults();
    void everyByteOfWindows1252();
    void encodeRoundTrip();
    void longValueIsCut();
    void keysInFileOrder();
};

void TestProfileFile::readString_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << QByteArray("[0]\r\ntitel=Hallo\r\n") << "0"
                           << "titel"
                           << "Hallo";
    QTest::newRow("key case") << QByteArray("[0]\nLabel16=x\n") << "0"
                              << "label16"
                              << "x";
    QTest::newRow("section case") << QByteArray("[Main]\nk=v\n") << "MAIN"
                                  << "k"
                                  << "v";
    QTest::newRow("blanks around value") << QByteArray("[0]\nk = \t spaced out \t \n") << "0"
                                         << "k"
                                         << "spaced out";
    QTest::newRow("blanks around key and section")
        << QByteArray("  [ 1 ]  \n   name   =Deutsch\n") << "1"
        << "name"
        << "Deutsch";
    QTest::newRow("double quotes removed") << QByteArray("[0]\nk=\" nach dem \"\n") << "0"
                                           << "k"
                                           << " nach dem ";
    QTest::newRow("single quotes removed") << QByteArray("[0]\nk='a b'\n") << "0"
                                           << "k"
                                           << "a b";
    QTest::newRow("unmatched quotes kept") << QByteArray("[0]\nk=\"a b'\n") << "0"
                                           << "k"
                                           << "\"a b'";
    QTest::newRow("lone quote kept") << QByteArray("[0]\nk=\"\n") << "0"
                                     << "k"
                                     << "\"";
    QTest::newRow("inner quotes kept") << QByteArray("[0]\nk=say \"hi\" now\n") << "0"
                                       << "k"
                                       << "say \"hi\" now";
    QTest::newRow("comment line") << QByteArray("[0]\n;k=commented\nk=real\n") << "0"
                                  << "k"
                                  << "real";
    QTest::newRow("indented comment") << QByteArray("[0]\n   ;k=x\n") << "0"
                                      << "k"
                                      << "<none>";
    QTest::newRow("semicolon inside value kept") << QByteArray("[0]\nk=a ; b\n") << "0"
                                                 << "k"
                                                 << "a ; b";
    QTest::newRow("first duplicate key wins") << QByteArray("[0]\nk=first\nK=second\n") << "0"
                                              << "k"
                                              << "first";
    QTest::newRow("first duplicate section wins")
        << QByteArray("[0]\nk=first\n[1]\nx=1\n[0]\nk=second\nj=only in second\n") << "0"
        << "j"
        << "<none>";
    QTest::newRow("key before any section ignored") << QByteArray("k=orphan\n[0]\n") << "0"
                                                    << "k"
                                                    << "<none>";
    QTest::newRow("empty value is empty, not default") << QByteArray("[0]\nk=\n") << "0"
                                                       << "k"
                                                       << "";
    QTest::newRow("line without equals ignored") << QByteArray("[0]\njunk line\nk=v\n") << "0"
                                                 << "k"
                                                 << "v";
    QTest::newRow("equals in value") << QByteArray("[0]\nk=a=b\n") << "0"
                                     << "k"
                                     << "a=b";
    QTest::newRow("other section") << QByteArray("[1]\nk=v\n") << "0"
                                   << "k"
                                   << "<none>";
    QTest::newRow("umlaut in Windows-1252") << QByteArray("[0]\nk=T\xFCr\xF6"
                                                          "ffnungszeit\n")
                                            << "0"
                                            << "k" << QString::fromUtf8("Türöffnungszeit");
    QTest::newRow("no final line end") << QByteArray("[0]\nk=v") << "0"
                                       << "k"
                                       << "v";
}

void TestProfileFile::readString() {
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);
    const ProfileFile profile = ProfileFile::fromBytes(file);
    QCOMPARE(profile.readString(section, key, QStringLiteral("<none>")), expected);
}

void TestProfileFile::readInteger_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("decimal") << "2" << 2;
    QTest::newRow("blanks") << "  12  " << 12;
    QTest::newRow("negative") << "-3" << -3;
    QTest::newRow("dollar hex") << "$2" << 2;
    QTest::newRow("0x hex") << "0x1F" << 31;
    QTest::newRow("0X hex") << "0X1f" << 31;
    QTest::newRow("hex bit pattern") << "$FFFFFFFF" << -1;
    QTest::newRow("word") << "two" << -99;
    QTest::newRow("trailing text") << "2 languages" << -99;
    QTest::newRow("empty") << "" << -99;
    QTest::newRow("bare prefix") << "0x" << -99;
    QTest::newRow("decimal overflow") << "2147483648" << -99;
    QTest::newRow("int max") << "2147483647" << 2147483647;
    QTest::newRow("int min") << "-2147483648" << (-2147483647 - 1);
    QTest::newRow("hex too long") << "$100000000" << -99;
    QTest::newRow("hex digit in decimal") << "1A" << -99;
}

void TestProfileFile::readInteger() {
    QFETCH(QString, value);
    QFETCH(int, expected);
    const ProfileFile profile =
        ProfileFile::fromBytes("[0]\ncount=" + hq::encodeWindows1252(value) + "\n");
    QCOMPARE(profile.readInteger(u"0", u"count", -99), expected);
}

void TestProfileFile::missingFileReadsDefaults() {
    QTemporaryDir dir;
    const ProfileFile profile = ProfileFile::load(dir.filePath(QStringLiteral("nothere.ini")));
    QVERIFY(!profile.isLoaded());
    QCOMPARE(profile.readString(u"0", u"titel", QStringLiteral("d")), QStringLiteral("d"));
    QCOMPARE(profile.readInteger(u"0", u"count", 0), 0);
    QVERIFY(profile.keys(u"0").isEmpty());
}

void TestProfileFile::everyByteOfWindows1252() {
    // Code points of 0x80..0x9F; the undefined bytes keep their own value.
    const char16_t high[32] = {0x20ac, 0x81,   0x201a, 0x192,  0x201e, 0x2026, 0x2020, 0x2021,
                               0x2c6,  0x2030, 0x160,  0x2039, 0x152,  0x8d,   0x17d,  0x8f,
                               0x90,   0x2018, 0x2019, 0x201c, 0x201d, 0x2022, 0x2013, 0x2014,
                               0x2dc,  0x2122, 0x161,  0x203a, 0x153,  0x9d,   0x17e,  0x178};
    // Every byte value, read through the profile reader between two guard letters (so blanks
    // are not trimmed away); CR and LF end lines and are checked through the decoder alone.
    for (int b = 0; b < 256; ++b) {
        const char16_t expected = (b >= 0x80 && b < 0xA0) ? high[b - 0x80] : char16_t(b);
        const char byte = static_cast<char>(b);
        QCOMPARE(hq::decodeWindows1252(QByteArrayView(&byte, 1)), QString(QChar(expected)));
        if (b == '\r' || b == '\n') {
            continue;
        }
        QByteArray file("[0]\nk=<");
        file.append(byte);
        file.append(">\n");
        const QString value = ProfileFile::fromBytes(file).readString(u"0", u"k");
        QCOMPARE(value.size(), 3);
        QCOMPARE(value.at(1).unicode(), expected);
    }
}

void TestProfileFile::encodeRoundTrip() {
    QByteArray all;
    for (int b = 0; b < 256; ++b) {
        all.append(static_cast<char>(b));
    }
    QCOMPARE(hq::encodeWindows1252(hq::decodeWindows1252(all)), all);
    QCOMPARE(hq::encodeWindows1252(QString::fromUtf8("€ Ω")), QByteArray("\x80 ?"));
}

void TestProfileFile::longValueIsCut() {
    const QByteArray value(5000, 'x');
    const ProfileFile profile = ProfileFile::fromBytes("[0]\nk=" + value + "\nj=after\n");
    QCOMPARE(profile.readString(u"0", u"k").size(), ProfileFile::kMaxValueLength);
    QCOMPARE(profile.readString(u"0", u"j"), QStringLiteral("after"));
}

void TestProfileFile::keysInFileOrder() {
    const ProfileFile profile = ProfileFile::fromBytes("[0]\nb=1\na=2\nB=3\n;c=4\nc=5\n");
    QCOMPARE(profile.keys(u"0"), (QStringList{"b", "a", "c"}));
}

QTEST_GUILESS_MAIN(TestProfileFile)
#include "test_profile_file.moc"
