// What the Linux backend reads from sysfs, on sysfs trees built in a temporary directory: the
// layout of a uhid/virtual HID device and of a USB one.
#include "platform/hid_linux.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace hq::platform::hidraw;

namespace {

void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(contents);
}

// Builds <top>/<hidName>/hidraw/<node> with the "device" link back to the HID device and
// returns the hidraw class directory.
QString makeHidraw(const QString& top, const QString& hidName, const QByteArray& hidUevent,
                   const QString& node = "hidraw3", const QByteArray& dev = "243:3\n") {
    const QString hid = top + "/" + hidName;
    const QString raw = hid + "/hidraw/" + node;
    writeFile(hid + "/uevent", hidUevent);
    writeFile(hid + "/report_descriptor", QByteArray("\x06\x00\xFF\x09\x01", 5));
    writeFile(raw + "/uevent", "MAJOR=243\nMINOR=3\nDEVNAME=" + node.toUtf8() + "\n");
    writeFile(raw + "/dev", dev);
    QFile::link(hid, raw + "/device");
    return raw;
}

const QByteArray kUhidUevent = "DRIVER=hid-generic\nHID_ID=0003:000004D8:0000003F\n"
                               "HID_NAME=HQ3746\nHID_PHYS=qemu-uhid/cabinet\n"
                               "HID_UNIQ=HQ0012345678\nMODALIAS=hid:b0003g0001v000004D8p0000003F\n";

} // namespace

class TestHidLinuxSysfs : public QObject {
    Q_OBJECT
private slots:
    void virtualDevice();
    void usbDevice_data();
    void usbDevice();
    void notAHidrawDevice_data();
    void notAHidrawDevice();
    void hidId_data();
    void hidId();
    void sequence_data();
    void sequence();
    void instanceIdentity();
    void utf8_data();
    void utf8();
};

void TestHidLinuxSysfs::virtualDevice() {
    QTemporaryDir tmp;
    const QString raw =
        makeHidraw(tmp.path() + "/devices/virtual/misc/uhid", "0003:04D8:003F.000A", kUhidUevent);
    const auto info = readSysfsHidInfo(raw.toStdString());
    QVERIFY(info.has_value());
    QCOMPARE(info->devnode, std::string("/dev/hidraw3"));
    QCOMPARE(info->major, 243u);
    QCOMPARE(info->minor, 3u);
    QCOMPARE(info->vendorId, 0x04D8);
    QCOMPARE(info->productId, 0x003F);
    QCOMPARE(info->busType, 3u);
    QCOMPARE(info->versionNumber, 0); // no USB device above: sysfs has no version
    QCOMPARE(info->hidSequence, 0xAu);
    QVERIFY(!info->usb);
    QCOMPARE(info->driver, std::string("hid-generic"));
    QVERIFY(productString(*info) == u"HQ3746");
    QVERIFY(serialString(*info) == u"HQ0012345678");
    QCOMPARE(readSysfsReportDescriptor(*info).size(), std::size_t(5));
}

void TestHidLinuxSysfs::usbDevice_data() {
    QTest::addColumn<bool>("withSerial");
    QTest::addColumn<bool>("withProduct");
    QTest::newRow("full") << true << true;
    QTest::newRow("no serial") << false << true;
    QTest::newRow("no product") << true << false;
}

// The USB device's own string descriptors win over the HID device's name, which the kernel
// builds from manufacturer and product.
void TestHidLinuxSysfs::usbDevice() {
    QFETCH(bool, withSerial);
    QFETCH(bool, withProduct);
    QTemporaryDir tmp;
    const QString usbDev = tmp.path() + "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    writeFile(usbDev + "/idVendor", "04d8\n");
    writeFile(usbDev + "/idProduct", "003f\n");
    writeFile(usbDev + "/bcdDevice", "0103\n");
    writeFile(usbDev + "/busnum", "1\n");
    writeFile(usbDev + "/manufacturer", "Microchip Technology Inc.\n");
    if (withProduct)
        writeFile(usbDev + "/product", "HQ3746\n");
    if (withSerial)
        writeFile(usbDev + "/serial", "SN-\xC3\xA4\xE2\x82\xAC\n"); // "SN-ä€"
    const QString raw = makeHidraw(usbDev + "/1-2:1.0", "0003:04D8:003F.0002",
                                   "DRIVER=hid-generic\nHID_ID=0003:000004D8:0000003F\n"
                                   "HID_NAME=Microchip Technology Inc. HQ3746\n"
                                   "HID_PHYS=usb-0000:00:14.0-2/input0\nHID_UNIQ=ignored\n");
    const auto info = readSysfsHidInfo(raw.toStdString());
    QVERIFY(info.has_value());
    QVERIFY(info->usb);
    QCOMPARE(info->versionNumber, 0x0103);
    QCOMPARE(info->usbBusNumber, 1u);
    QCOMPARE(info->usbManufacturer, std::string("Microchip Technology Inc."));
    if (withProduct)
        QVERIFY(productString(*info) == u"HQ3746");
    else
        QVERIFY(!productString(*info).has_value());
    if (withSerial)
        QVERIFY(serialString(*info) == u"SN-\u00E4\u20AC");
    else
        QVERIFY(!serialString(*info).has_value());
}

void TestHidLinuxSysfs::notAHidrawDevice_data() {
    QTest::addColumn<QByteArray>("hidUevent");
    QTest::addColumn<QByteArray>("dev");
    QTest::addColumn<bool>("link");
    QTest::newRow("no HID_ID") << QByteArray("HID_NAME=x\n") << QByteArray("243:3\n") << true;
    QTest::newRow("bad HID_ID") << QByteArray("HID_ID=0003:XYZ:0000003F\n") << QByteArray("243:3\n")
                                << true;
    QTest::newRow("bad dev") << kUhidUevent << QByteArray("243\n") << true;
    QTest::newRow("no device link") << kUhidUevent << QByteArray("243:3\n") << false;
}

void TestHidLinuxSysfs::notAHidrawDevice() {
    QFETCH(QByteArray, hidUevent);
    QFETCH(QByteArray, dev);
    QFETCH(bool, link);
    QTemporaryDir tmp;
    const QString raw = makeHidraw(tmp.path(), "0003:04D8:003F.0001", hidUevent, "hidraw0", dev);
    if (!link)
        QVERIFY(QFile::remove(raw + "/device"));
    QVERIFY(!readSysfsHidInfo(raw.toStdString()).has_value());
    QVERIFY(!readSysfsHidInfo((tmp.path() + "/missing").toStdString()).has_value());
}

void TestHidLinuxSysfs::hidId_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<uint>("bus");
    QTest::addColumn<uint>("vendor");
    QTest::addColumn<uint>("product");
    QTest::newRow("usb") << "0003:000004D8:0000003F" << true << 3u << 0x04D8u << 0x3Fu;
    QTest::newRow("bluetooth lower case")
        << "0005:0000046d:0000b01a" << true << 5u << 0x046Du << 0xB01Au;
    QTest::newRow("vendor beyond 16 bits") << "0003:000104D8:0000003F" << false << 0u << 0u << 0u;
    QTest::newRow("two fields") << "0003:000004D8" << false << 0u << 0u << 0u;
    QTest::newRow("empty field") << "0003::0000003F" << false << 0u << 0u << 0u;
    QTest::newRow("not hex") << "0003:000004G8:0000003F" << false << 0u << 0u << 0u;
    QTest::newRow("empty") << "" << false << 0u << 0u << 0u;
}

void TestHidLinuxSysfs::hidId() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    std::uint32_t bus = 0;
    std::uint16_t vendor = 0, product = 0;
    QCOMPARE(parseHidId(text.toStdString(), bus, vendor, product), ok);
    if (ok) {
        QTEST(uint(bus), "bus");
        QTEST(uint(vendor), "vendor");
        QTEST(uint(product), "product");
    }
}

void TestHidLinuxSysfs::sequence_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("sequence"); // -1: none
    QTest::newRow("first") << "0003:04D8:003F.0001" << 1;
    QTest::newRow("hex") << "0003:04D8:003F.00AF" << 0xAF;
    QTest::newRow("past 16 bits") << "0005:046D:B01A.12345" << 0x12345;
    QTest::newRow("no dot") << "0003:04D8:003F" << -1;
    QTest::newRow("empty number") << "0003:04D8:003F." << -1;
    QTest::newRow("garbage") << "0003:04D8:003F.00x1" << -1;
}

void TestHidLinuxSysfs::sequence() {
    QFETCH(QString, name);
    QFETCH(int, sequence);
    const auto seq = hidSequenceOf(name.toStdString());
    QCOMPARE(seq.has_value(), sequence >= 0);
    if (seq)
        QCOMPARE(int(*seq), sequence);
}

// A device plugged in again gets a new HID running number, and so a new identity, even on the
// same minor; two nodes of one running number (impossible today) would still differ.
void TestHidLinuxSysfs::instanceIdentity() {
    SysfsHidInfo a;
    a.hidSequence = 1;
    a.minor = 0;
    SysfsHidInfo replugged = a;
    replugged.hidSequence = 2;
    SysfsHidInfo otherNode = a;
    otherNode.minor = 1;
    QVERIFY(deviceInstanceId(a) != deviceInstanceId(replugged));
    QVERIFY(deviceInstanceId(a) != deviceInstanceId(otherNode));
    QCOMPARE(deviceInstanceId(a), deviceInstanceId(SysfsHidInfo(a)));
}

void TestHidLinuxSysfs::utf8_data() {
    QTest::addColumn<QByteArray>("utf8");
    QTest::addColumn<QString>("utf16");
    QTest::newRow("ascii") << QByteArray("HQ3746") << QString("HQ3746");
    QTest::newRow("two and three bytes") << QByteArray("\xC3\xA4\xE2\x82\xAC") << QString("ä€");
    QTest::newRow("four bytes -> surrogate pair")
        << QByteArray("\xF0\x9F\x98\x80") << QString::fromUtf16(u"\U0001F600");
    QTest::newRow("lone continuation byte") << QByteArray("a\x80z") << QString("a\uFFFDz");
    QTest::newRow("truncated sequence") << QByteArray("a\xE2\x82") << QString("a\uFFFD\uFFFD");
    QTest::newRow("overlong") << QByteArray("\xC0\xAF") << QString("\uFFFD\uFFFD");
    QTest::newRow("encoded surrogate")
        << QByteArray("\xED\xA0\x80") << QString("\uFFFD\uFFFD\uFFFD");
}

void TestHidLinuxSysfs::utf8() {
    QFETCH(QByteArray, utf8);
    QFETCH(QString, utf16);
    const auto out = utf8ToUtf16(std::string_view(utf8.constData(), size_t(utf8.size())));
    QCOMPARE(QString::fromUtf16(out.data(), qsizetype(out.size())), utf16);
}

QTEST_APPLESS_MAIN(TestHidLinuxSysfs)
#include "test_hid_linux_sysfs.moc"
