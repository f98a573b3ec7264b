// The cabinet's rules that the window, the tool and the site tools share: the firmware version
// text as the window has always shown it, the return-air rule and the clock text.
#include "cabinet/identity.h"

#include <QString>
#include <QTest>

class TestIdentity : public QObject {
    Q_OBJECT
private slots:
    // The window wrote QString::number(major + minor / 1000.0, 'g', 15); every version the two
    // bytes can tell reads the same.
    void firmwareVersionTextIsTheWindowsForEveryVersion() {
        for (int major = 0; major < 256; ++major)
            for (int minor = 0; minor < 256; ++minor) {
                const hq::protocol::FirmwareVersion v{major, minor};
                const QString window = QString::number(v.value(), 'g', 15);
                const QString text = QString::fromStdString(hq::cabinet::firmwareVersionText(v));
                if (text != window)
                    QFAIL(qPrintable(QStringLiteral("%1.%2: %3, the window shows %4")
                                         .arg(major)
                                         .arg(minor)
                                         .arg(text, window)));
            }
        QCOMPARE(hq::cabinet::firmwareVersionText({1, 3}), std::string("1.003"));
        QCOMPARE(hq::cabinet::firmwareVersionText({2, 0}), std::string("2"));
    }

    void returnAirBoxFromMinorTwelve_data() {
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("shown");
        QTest::newRow("11") << 11 << false;
        QTest::newRow("12") << 12 << true;
        QTest::newRow("255") << 255 << true;
    }
    void returnAirBoxFromMinorTwelve() {
        QFETCH(int, minor);
        QFETCH(bool, shown);
        QCOMPARE(hq::cabinet::returnAirMonitoringShown(std::uint8_t(minor)), shown);
    }

    void clockText() {
        hq::protocol::ClockRecord c;
        c.hours = 9;
        c.minutes = 5;
        c.seconds = 7;
        c.day = 6;
        c.month = 3;
        c.year = 24;
        QCOMPARE(hq::cabinet::clockTimeText(c), std::string("09:05:07"));
        QCOMPARE(hq::cabinet::clockDateText(c), std::string("06.03.2024"));
    }
};

QTEST_GUILESS_MAIN(TestIdentity)
#include "test_identity.moc"
