#include "platform/hid_report_descriptor.h"

#include <QTest>

#include <vector>

using hq::platform::parseReportDescriptor;

using Bytes = std::vector<std::uint8_t>;
Q_DECLARE_METATYPE(Bytes)

class TestHidReportDescriptor : public QObject {
    Q_OBJECT
private slots:
    void lengths_data();
    void lengths();
    void malformed_data();
    void malformed();
};

// Vendor-defined page, one collection, 64-byte input and output reports without report IDs.
static Bytes cabinetDescriptor() {
    return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,             // page FF00, usage 1, app
            0x19, 0x01, 0x29, 0x40, 0x15, 0x00, 0x26, 0xFF, 0x00, // usages, logical 0..255
            0x75, 0x08, 0x95, 0x40, 0x81, 0x00,                   // 64 x 8 bits input
            0x19, 0x01, 0x29, 0x40, 0x91, 0x00,                   // 64 x 8 bits output
            0xC0};
}

void TestHidReportDescriptor::lengths_data() {
    QTest::addColumn<Bytes>("descriptor");
    QTest::addColumn<int>("input");
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("feature");
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<int>("usagePage");
    QTest::addColumn<int>("usage");

    QTest::newRow("cabinet, unnumbered 64/64")
        << cabinetDescriptor() << 65 << 65 << 0 << false << 0xFF00 << 1;
    // Boot keyboard: modifiers, reserved byte, 5 LED bits + 3 padding out, 6 key codes.
    QTest::newRow("boot keyboard")
        << Bytes{0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
                 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
                 0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
                 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
                 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0}
        << 9 << 2 << 0 << false << 0x0001 << 0x0006;
    // Numbered reports: the longest of each kind wins, the report ID byte counted once.
    QTest::newRow("numbered reports")
        << Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,       //
                 0x85, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, // in 1: 8 bytes
                 0x85, 0x02, 0x95, 0x20, 0x81, 0x02,             // in 2: 32 bytes
                 0x85, 0x03, 0x95, 0x10, 0x91, 0x02,             // out 3: 16 bytes
                 0x85, 0x04, 0x95, 0x03, 0xB1, 0x02,             // feature 4: 3 bytes
                 0x85, 0x01, 0x95, 0x04, 0x81, 0x02,             // in 1 again: 8+4
                 0xC0}
        << 33 << 17 << 4 << true << 0xFF00 << 1;
    // Input fields of one report add up across collections; odd bit counts round up.
    QTest::newRow("bits round up")
        << Bytes{0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x75, 0x01,
                 0x95, 0x03, 0x81, 0x02, 0xC0, 0x75, 0x04, 0x95, 0x01, 0x81, 0x02, 0xC0}
        << 2 << 0 << 0 << false << 0x0001 << 0x0002;
    // Push/Pop restore report size and count.
    QTest::newRow("push and pop") << Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75,
                                           0x08, 0x95, 0x04, 0xA4, 0x75, 0x10, 0x95, 0x02,
                                           0x81, 0x02, 0xB4, 0x81, 0x02, 0xC0}
                                  << 9 << 0 << 0 << false << 0xFF00 << 1;
    // A long item is skipped as a whole.
    QTest::newRow("long item skipped")
        << Bytes{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0xFE, 0x02, 0x10,
                 0x81, 0x02, 0x75, 0x08, 0x95, 0x02, 0x91, 0x02, 0xC0}
        << 0 << 3 << 0 << false << 0xFF00 << 1;
    // An extended (4-byte) usage carries its own page.
    QTest::newRow("extended usage")
        << Bytes{0x0B, 0x01, 0x00, 0xA0, 0xFF, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0}
        << 2 << 0 << 0 << false << 0xFFA0 << 1;
    QTest::newRow("empty") << Bytes{} << 0 << 0 << 0 << false << 0 << 0;
}

void TestHidReportDescriptor::lengths() {
    QFETCH(Bytes, descriptor);
    QFETCH(int, input);
    QFETCH(int, output);
    QFETCH(int, feature);
    QFETCH(bool, numbered);
    QFETCH(int, usagePage);
    QFETCH(int, usage);
    const auto layout = parseReportDescriptor(descriptor);
    QVERIFY(layout.has_value());
    QCOMPARE(layout->inputReportByteLength, input);
    QCOMPARE(layout->outputReportByteLength, output);
    QCOMPARE(layout->featureReportByteLength, feature);
    QCOMPARE(layout->numberedReports, numbered);
    QCOMPARE(layout->usagePage, usagePage);
    QCOMPARE(layout->usage, usage);
}

void TestHidReportDescriptor::malformed_data() {
    QTest::addColumn<Bytes>("descriptor");
    Bytes truncated = cabinetDescriptor();
    truncated.resize(15); // ends inside "26 FF 00"
    QTest::newRow("truncated short item") << truncated;
    QTest::newRow("truncated long item") << Bytes{0xFE, 0x04, 0x10, 0x00};
    QTest::newRow("long item without header") << Bytes{0xFE, 0x01};
    QTest::newRow("pop without push") << Bytes{0xB4};
    QTest::newRow("report id 0") << Bytes{0xA1, 0x01, 0x85, 0x00, 0xC0};
    QTest::newRow("end without collection") << Bytes{0xC0};
    QTest::newRow("collection not closed") << Bytes{0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02};
    // 0xFFFF x 32 bits is far beyond what a report can carry.
    QTest::newRow("oversized report")
        << Bytes{0xA1, 0x01, 0x75, 0x20, 0x96, 0xFF, 0xFF, 0x81, 0x02, 0xC0};
    QTest::newRow("oversized by accumulation") << Bytes{0xA1, 0x01, 0x75, 0x20, 0x96, 0xFF, 0x3F,
                                                        0x81, 0x02, 0x81, 0x02, 0x81, 0x02, 0xC0};
}

void TestHidReportDescriptor::malformed() {
    QFETCH(Bytes, descriptor);
    QVERIFY(!parseReportDescriptor(descriptor).has_value());
}

QTEST_APPLESS_MAIN(TestHidReportDescriptor)
#include "test_hid_report_descriptor.moc"
