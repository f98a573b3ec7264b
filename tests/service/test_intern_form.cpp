#include "protocol/reply.h"
#include "service/chart_dialogs.h"
#include "service/chart_export.h"
#include "service/chart_file.h"
#include "service/chart_viewer.h"
#include "service/intern_form.h"
#include "service/measurement_chart.h"
#include "service/plot_series.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QImageReader>
#include <QPushButton>
#include <QScopeGuard>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <ctime>
#include <limits>

using namespace hq::service;
using hq::protocol::StatusRecord;

namespace {
struct FakeCommands : ServiceCommands {
    QList<std::int32_t> serials;
    int dispLdr = 0, wdt = 0;
    QString caption = "N#";
    void SendSerialNumber(std::int32_t n) override { serials.append(n); }
    void SendDispLdr() override { ++dispLdr; }
    void SendWdtTest() override { ++wdt; }
    QString serialNumberCaption() const override { return caption; }
};

struct FakeMail : MailTransport {
    int result = 0;
    QList<hq::platform::MailMessage> sent;
    MailSendResult send(const hq::platform::MailMessage& m) override {
        sent.append(m);
        return {result, {}};
    }
};

constexpr qint64 kT0 = 1'765'000'000'000;
} // namespace

class TestInternForm : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void layout();
    void plottedValues_data();
    void plottedValues();
    void errorSeriesSwitchesItselfOn();
    void timeStampsAndClockSteppingBack();
    void serialNumberSpinEdits_data();
    void serialNumberSpinEdits();
    void serviceCommands_data();
    void serviceCommands();
    void rangeButtonsAndChecks();
    void kovSave_data();
    void kovSave();
    void kovMail_data();
    void kovMail();
    void viewerOpensChartFiles();
    void csvExportOfExtremeTimeStamps_data();
    void csvExportOfExtremeTimeStamps();
    void csvExport();
    void expEditAppliesEdits();
    void exportImages_data();
    void exportImages();
    void daylightSavingDoesNotFold();

private:
    FakeCommands* commands_ = nullptr;
    FakeMail* mail_ = nullptr;
    InternForm* form_ = nullptr;
};

void TestInternForm::init() {
    commands_ = new FakeCommands;
    mail_ = new FakeMail;
    form_ = new InternForm(*commands_, *mail_, "hilfe@example.org");
}

void TestInternForm::cleanup() {
    delete form_;
    delete mail_;
    delete commands_;
}

void TestInternForm::layout() {
    QCOMPARE(form_->windowTitle(), QStringLiteral("InternForm"));
    QCOMPARE(form_->size(), QSize(933, 540));
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_));
    QVERIFY(form_->findChild<QWidget*>("Panel2")->isHidden());
    QVERIFY(form_->findChild<QWidget*>("Button8")->isHidden());
    QCOMPARE(form_->findChild<QWidget*>("Panel1")->height(), 60);
    for (const char* name : {"CheckBoxLegend", "CheckBoxHorizontal", "CheckBoxBottom"})
        QVERIFY(form_->findChild<QCheckBox*>(name)->isChecked());
    const QList<QPair<QString, QString>> buttons = {
        {"Button1", "0..20"},     {"Button2", "0..300"},    {"Button6", "Exp Edit"},
        {"Button7", "Autosize"},  {"Button4", "Speichern"}, {"Button5", "KOV Save"},
        {"Button3", "KOV Mail"},  {"Button15", "N Senden"}, {"Button9", "Disp LDR"},
        {"Button8", "WDT Testen"}};
    for (const auto& [name, text] : buttons)
        QCOMPARE(form_->findChild<QPushButton*>(name)->text(), text);
    auto* s1 = form_->findChild<QSpinBox*>("SpinEdit1");
    auto* s2 = form_->findChild<QSpinBox*>("SpinEdit2");
    QCOMPARE(s1->maximum(), 9999999);
    QCOMPARE(s2->maximum(), 99);
    QCOMPARE(s1->value(), 0);
    MeasurementChart* chart = form_->chart();
    QCOMPARE(chart->objectName(), QStringLiteral("Chart1"));
    QCOMPARE(chart->width(), 933); // the hidden service panel takes no room
    QCOMPARE(chart->legendWidget()->pos(), QPoint(933 - 185, 40));
    form_->resize(1200, 540);
    QTRY_COMPARE(chart->width(), 1200);
    QCOMPARE(chart->legendWidget()->pos(), QPoint(1200 - 185, 40));
}

void TestInternForm::plottedValues_data() {
    QTest::addColumn<StatusRecord>("record");
    QTest::addColumn<int>("series");
    QTest::addColumn<double>("value");
    StatusRecord r;
    r.humidityTop = 453;
    QTest::newRow("HYT up %r.H.") << r << 6 << 45.3;
    r = {};
    r.t3 = 1234;
    QTest::newRow("t3 hundredths") << r << 9 << 12.34;
    r = {};
    r.temperatureTop = -5;
    QTest::newRow("HYT up degC negative") << r << 5 << -0.5;
    r = {};
    r.temperatureBottom = -32767;
    QTest::newRow("HYT down degC lowest") << r << 3 << -3276.7;
    r = {};
    r.humidityBottom = 1000;
    QTest::newRow("HYT down %r.H.") << r << 4 << 100.0;
    r = {};
    r.l1 = 755;
    QTest::newRow("Motor %") << r << 7 << 75.5;
    r = {};
    r.status = 0x01;
    QTest::newRow("door open") << r << 16 << 100.0;
    r.status = 0xFE;
    QTest::newRow("door closed, other bits") << r << 16 << 0.0;
    QTest::newRow("status raw") << r << 15 << 254.0;
    r = {};
    r.netzf = 50;
    QTest::newRow("netzf") << r << 0 << 50.0;
    r = {};
    r.t2_1 = 61, r.t2_2 = 42;
    QTest::newRow("Temp P. up") << r << 1 << 61.0;
    QTest::newRow("Temp P. down") << r << 2 << 42.0;
    r = {};
    r.l1Ups = 65535;
    QTest::newRow("l1Ups") << r << 8 << 65535.0;
    r = {};
    r.prog = 0x81, r.programmphase = 4, r.okTimer = 300, r.tet = 9, r.intTimer = 777;
    QTest::newRow("prog") << r << 11 << 129.0;
    QTest::newRow("passage") << r << 12 << 4.0;
    QTest::newRow("ok_timer") << r << 13 << 300.0;
    QTest::newRow("tet") << r << 14 << 9.0;
    QTest::newRow("Inttimer") << r << 17 << 777.0;
}

void TestInternForm::plottedValues() {
    QFETCH(StatusRecord, record);
    QFETCH(int, series);
    QFETCH(double, value);
    form_->PlotStatusRecord(record, kT0);
    const HistoryStore& store = form_->chart()->store();
    QCOMPARE(store.size(), std::size_t(1));
    QCOMPARE(store.valueAt(series, 0), value);
}

void TestInternForm::errorSeriesSwitchesItselfOn() {
    MeasurementChart* chart = form_->chart();
    StatusRecord r;
    form_->PlotStatusRecord(r, kT0);
    QVERIFY(!chart->seriesVisible(kErrorSeries));
    r.fehler = 3;
    form_->PlotStatusRecord(r, kT0 + 1000);
    QVERIFY(chart->seriesVisible(kErrorSeries));
    QVERIFY(chart->legendWidget()->checkBox(kErrorSeries)->isChecked());
    r.fehler = 0;
    form_->PlotStatusRecord(r, kT0 + 2000);
    QVERIFY(chart->seriesVisible(kErrorSeries)); // only the user switches it off
    QCOMPARE(chart->store().valueAt(kErrorSeries, 1), 3.0);
    QCOMPARE(chart->store().valueAt(kErrorSeries, 2), 0.0);
    chart->legendWidget()->checkBox(kErrorSeries)->click();
    QVERIFY(!chart->seriesVisible(kErrorSeries));
    form_->PlotStatusRecord(r, kT0 + 3000);
    QVERIFY(!chart->seriesVisible(kErrorSeries));
    // Hidden series still receive their points.
    QCOMPARE(chart->store().size(), std::size_t(4));
}

void TestInternForm::timeStampsAndClockSteppingBack() {
    const QDateTime local(QDate(2026, 3, 29), QTime(1, 59, 59), Qt::LocalTime);
    form_->PlotStatusRecord(StatusRecord{}, local);
    const HistoryStore& store = form_->chart()->store();
    QCOMPARE(store.timeAt(0), local.toMSecsSinceEpoch()); // kept as UTC
    form_->PlotStatusRecord(StatusRecord{}, local.addSecs(1));
    form_->PlotStatusRecord(StatusRecord{}, local.addSecs(-3600)); // the clock stepped back
    form_->PlotStatusRecord(StatusRecord{}, local.addSecs(-3599));
    QCOMPARE(store.size(), std::size_t(4));
    for (std::size_t i = 1; i < store.size(); ++i)
        QVERIFY(store.timeAt(i) >= store.timeAt(i - 1));
    QCOMPARE(store.clampedCount(), std::size_t(2));
    form_->chart()->autosize();
    form_->chart()->replot(); // drawing a clamped history must work
    QCOMPARE(form_->chart()->settings().bottom.max, double(local.addSecs(1).toMSecsSinceEpoch()));
}

void TestInternForm::serialNumberSpinEdits_data() {
    QTest::addColumn<int>("serial");
    QTest::addColumn<int>("spin1");
    QTest::addColumn<int>("spin2");
    QTest::newRow("12345678") << 12345678 << 123456 << 78;
    QTest::newRow("5") << 5 << 0 << 5;
    QTest::newRow("negative clamps to 0") << -1 << 0 << 0;
    QTest::newRow("largest clamps") << 2147483647 << 9999999 << 47;
}

void TestInternForm::serialNumberSpinEdits() {
    QFETCH(int, serial);
    QFETCH(int, spin1);
    QFETCH(int, spin2);
    form_->setSerialNumber(serial);
    QCOMPARE(form_->findChild<QSpinBox*>("SpinEdit1")->value(), spin1);
    QCOMPARE(form_->findChild<QSpinBox*>("SpinEdit2")->value(), spin2);
}

void TestInternForm::serviceCommands_data() {
    QTest::addColumn<int>("spin1");
    QTest::addColumn<int>("spin2");
    QTest::addColumn<int>("sent");
    QTest::newRow("1234 / 5") << 1234 << 5 << 123405;
    QTest::newRow("largest") << 9999999 << 99 << 999999999;
    QTest::newRow("zero") << 0 << 0 << 0;
    QTest::newRow("0 / 7") << 0 << 7 << 7;
}

void TestInternForm::serviceCommands() {
    QFETCH(int, spin1);
    QFETCH(int, spin2);
    QFETCH(int, sent);
    form_->findChild<QSpinBox*>("SpinEdit1")->setValue(spin1);
    form_->findChild<QSpinBox*>("SpinEdit2")->setValue(spin2);
    form_->findChild<QPushButton*>("Button15")->click();
    QCOMPARE(commands_->serials, QList<std::int32_t>{sent});
    form_->findChild<QPushButton*>("Button9")->click();
    form_->findChild<QPushButton*>("Button8")->click();
    QCOMPARE(commands_->dispLdr, 1);
    QCOMPARE(commands_->wdt, 1);
}

void TestInternForm::rangeButtonsAndChecks() {
    MeasurementChart* chart = form_->chart();
    StatusRecord r;
    r.humidityTop = 453, r.humidityBottom = 120;
    form_->PlotStatusRecord(r, kT0);
    r.humidityTop = 500;
    form_->PlotStatusRecord(r, kT0 + 1000);
    form_->findChild<QPushButton*>("Button1")->click();
    QCOMPARE(chart->settings().left.max, 20.0);
    form_->findChild<QPushButton*>("Button7")->click();
    QVERIFY(chart->settings().left.max >= 50.0); // fitted range replaces 0..20
    QVERIFY(!chart->settings().left.automatic && !chart->settings().bottom.automatic);
    form_->findChild<QPushButton*>("Button2")->click();
    QCOMPARE(chart->settings().left.min, 0.0);
    QCOMPARE(chart->settings().left.max, 300.0);
    form_->findChild<QCheckBox*>("CheckBoxLegend")->click();
    QVERIFY(!chart->settings().legendVisible);
    form_->findChild<QCheckBox*>("CheckBoxHorizontal")->click();
    QVERIFY(!chart->yAxis->grid()->visible());
    QVERIFY(chart->xAxis->grid()->visible());
    form_->findChild<QCheckBox*>("CheckBoxBottom")->click();
    QVERIFY(!chart->xAxis->grid()->visible());
}

void TestInternForm::kovSave_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    QTest::newRow("no extension") << "verlauf"
                                  << "verlauf.hqchart";
    QTest::newRow("other extension") << "verlauf.dat"
                                     << "verlauf.dat";
}

void TestInternForm::kovSave() {
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    QTemporaryDir dir;
    StatusRecord r;
    for (int i = 0; i < 100; ++i) {
        r.humidityTop = std::uint16_t(i);
        form_->PlotStatusRecord(r, kT0 + i * 1000);
    }
    QCOMPARE(form_->saveChart(dir.filePath(chosen)), QString());
    const LoadedChart back = loadChartFile(dir.filePath(written));
    QVERIFY2(back.ok(), qPrintable(back.error));
    QCOMPARE(back.store->size(), std::size_t(100));
    QCOMPARE(back.store->valueAt(6, 99), 9.9);
    // An existing file is replaced.
    form_->PlotStatusRecord(r, kT0 + 200'000);
    QCOMPARE(form_->saveChart(dir.filePath(chosen)), QString());
    QCOMPARE(loadChartFile(dir.filePath(written)).store->size(), std::size_t(101));
}

void TestInternForm::kovMail_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("error");
    QTest::newRow("sent") << "N#12345678" << 0 << "";
    QTest::newRow("before any ConfigRecord") << "N#" << 0 << "";
    QTest::newRow("no mail system") << "N#1" << 1 << "The user canceled one of the dialog boxes!";
    QTest::newRow("unlisted code") << "N#1" << 4 << "Unknown mail error (code 4)!";
}

void TestInternForm::kovMail() {
    QFETCH(QString, caption);
    QFETCH(int, result);
    QFETCH(QString, error);
    commands_->caption = caption;
    mail_->result = result;
    form_->PlotStatusRecord(StatusRecord{}, kT0);
    const ChartMailResult r = form_->mailChart();
    QCOMPARE(r.fileError, QString());
    QCOMPARE(r.outcome.error, error);
    QCOMPARE(mail_->sent.size(), 1);
    const auto& m = mail_->sent.constFirst();
    QCOMPARE(QString::fromStdString(m.subject), QStringLiteral("LB6620-15 - Hilfe"));
    QCOMPARE(QString::fromStdString(m.body), "Erbitte um Hilfe bei meinem Schrank:" + caption);
    QCOMPARE(QString::fromStdString(m.recipientAddress), QStringLiteral("SMTP:hilfe@example.org"));
    QCOMPARE(QString::fromStdString(m.recipientName), QStringLiteral("KOV Helpdesk"));
    const QFileInfo attachment(QString::fromStdString(m.attachmentPath));
    QVERIFY(attachment.fileName().startsWith("KOV"));
    QCOMPARE(attachment.absoluteFilePath(), QFileInfo(r.tempFile).absoluteFilePath());
    // The temporary file holds the chart and stays behind, whatever the outcome.
    const LoadedChart loaded = loadChartFile(r.tempFile);
    QVERIFY2(loaded.ok(), qPrintable(loaded.error));
    QCOMPARE(loaded.store->size(), std::size_t(1));
    QFile::remove(r.tempFile);
}

void TestInternForm::viewerOpensChartFiles() {
    QTemporaryDir dir;
    StatusRecord r;
    r.l1 = 500;
    form_->PlotStatusRecord(r, kT0);
    form_->chart()->setSeriesVisible(0, true);
    QCOMPARE(form_->saveChart(dir.filePath("a")), QString());
    QString error;
    ChartViewer* viewer = openChartWindow(dir.filePath("a.hqchart"), nullptr, &error);
    QVERIFY2(viewer, qPrintable(error));
    QCOMPARE(viewer->chart()->store().valueAt(7, 0), 50.0);
    QVERIFY(viewer->chart()->seriesVisible(0));
    QVERIFY(viewer->isVisible());
    viewer->close(); // deletes itself
    QFile broken(dir.filePath("broken.hqchart"));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("HQCHART\x1a");
    broken.close();
    QVERIFY(!openChartWindow(broken.fileName(), nullptr, &error));
    QVERIFY2(error.contains("broken.hqchart") && error.contains("incomplete"), qPrintable(error));
}

void TestInternForm::csvExportOfExtremeTimeStamps_data() {
    QTest::addColumn<QList<qint64>>("times"); // ascending, as a chart file holds them
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("skipped");
    const qint64 min = std::numeric_limits<qint64>::min();
    const qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("the whole 64-bit range")
        << QList<qint64>{min, min + 1, -62'135'596'800'001, kT0, 253'402'300'800'000, max - 1, max}
        << 1 << 6;
    QTest::newRow("first and last writable millisecond")
        << QList<qint64>{-62'135'596'800'000 + 86'400'000, 253'402'300'799'999 - 86'400'000} << 2
        << 0;
    QTest::newRow("only unwritable") << QList<qint64>{min, max} << 0 << 2;
    QTest::newRow("around a skipped record") << QList<qint64>{kT0, kT0 + 1000, max} << 2 << 1;
}

void TestInternForm::csvExportOfExtremeTimeStamps() {
    // A loaded chart file may hold any 64-bit time stamp; records outside the years 1 to 9999
    // are left out of the CSV and counted, the others written as always.
    QFETCH(QList<qint64>, times);
    QFETCH(int, rows);
    QFETCH(int, skipped);
    HistoryStore store(seriesEncodings());
    RawSample s{};
    for (qint64 t : times)
        store.append(t, s);
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    std::size_t left = 99;
    QCOMPARE(writeCsv(out, store, 0, store.size(), &left), QString());
    QCOMPARE(left, std::size_t(skipped));
    const QStringList lines = QString::fromUtf8(out.data()).split('\n', Qt::SkipEmptyParts);
    int written = 0;
    for (const QString& line : lines.mid(1)) {
        if (line.startsWith(u'#'))
            continue;
        ++written;
        const QString year = line.section(u'-', 0, 0);
        QVERIFY2(year.size() == 4 && year.toInt() >= 1, qPrintable(line));
    }
    QCOMPARE(written, rows);
    QCOMPARE(csvSkippedMessage(left).isEmpty(), skipped == 0);
    if (skipped > 0)
        QVERIFY(csvSkippedMessage(left).startsWith(QString::number(skipped) + u' '));
    // The export to a file counts the same.
    QTemporaryDir dir;
    std::size_t fileLeft = 0;
    QCOMPARE(exportCsv(store, dir.filePath("extreme.csv"), &fileLeft), QString());
    QCOMPARE(fileLeft, std::size_t(skipped));
}

void TestInternForm::csvExport() {
    HistoryStore store(seriesEncodings());
    RawSample s{};
    s[6] = 453;
    s[5] = 32768 - 15;
    store.append(kT0, s);
    store.append(kT0 + 1000, s);
    store.append(kT0 + 61'000, s); // a minute without records
    QBuffer all;
    all.open(QIODevice::WriteOnly);
    QCOMPARE(writeCsv(all, store, 0, store.size()), QString());
    const QStringList lines = QString::fromUtf8(all.data()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[0].startsWith("time,netzf,"));
    QVERIFY(lines[3].startsWith("# gap from "));
    const QStringList cells = lines[1].split(',');
    QCOMPARE(cells.size(), 19);
    QCOMPARE(cells[6], QStringLiteral("-1.5"));
    QCOMPARE(cells[7], QStringLiteral("45.3"));
    // The time stamp reads back as the stored instant.
    QCOMPARE(QDateTime::fromString(cells[0], Qt::ISODateWithMs).toMSecsSinceEpoch(), kT0);

    QTemporaryDir dir;
    const QString path = dir.filePath("visible.csv");
    QCOMPARE(exportCsv(store, path, double(kT0 + 500), double(kT0 + 61'000)), QString());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QStringList visible = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(visible.size(), 4); // header, record 2, gap, record 3
}

void TestInternForm::expEditAppliesEdits() {
    MeasurementChart* chart = form_->chart();
    const ChartSettings before = chart->settings();
    // Untouched, the dialog gives back what it was given.
    {
        ChartEditorDialog untouched(before);
        QCOMPARE(untouched.settings(), before);
    }
    // "Exp Edit" runs the dialog modally; edit it the way a user would, then press OK.
    bool edited = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<ChartEditorDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        auto* table = dialog->findChild<QTableWidget*>("seriesTable");
        table->item(kDoorSeries, 0)->setCheckState(Qt::Checked);
        table->item(1, 0)->setCheckState(Qt::Unchecked);
        table->item(4, 1)->setText("Feuchte unten");
        static_cast<QSpinBox*>(table->cellWidget(4, 3))->setValue(5);
        static_cast<QComboBox*>(table->cellWidget(4, 4))->setCurrentIndex(1); // dashed
        dialog->findChild<QDoubleSpinBox*>("leftMin")->setValue(-10);
        dialog->findChild<QDoubleSpinBox*>("leftMax")->setValue(80);
        dialog->findChild<QCheckBox*>("leftGrid")->setChecked(false);
        dialog->findChild<QCheckBox*>("legendVisible")->setChecked(false);
        dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        edited = true;
    });
    form_->findChild<QPushButton*>("Button6")->click();
    QVERIFY(edited);
    const ChartSettings after = chart->settings();
    QVERIFY(after.series[kDoorSeries].visible);
    QVERIFY(chart->legendWidget()->checkBox(kDoorSeries)->isChecked());
    QVERIFY(!chart->seriesVisible(1));
    QCOMPARE(after.series[4].title, QStringLiteral("Feuchte unten"));
    QCOMPARE(chart->legendWidget()->checkBox(4)->text(), QStringLiteral("Feuchte unten"));
    QCOMPARE(chart->seriesGraph(4)->pen().width(), 5);
    QCOMPARE(chart->seriesGraph(4)->pen().style(), Qt::DashLine);
    QCOMPARE(chart->yAxis->range().lower, -10.0);
    QCOMPARE(chart->yAxis->range().upper, 80.0);
    QVERIFY(!chart->yAxis->grid()->visible());
    QVERIFY(chart->legendWidget()->isHidden());
    // The window's check boxes follow what the dialog changed.
    QVERIFY(!form_->findChild<QCheckBox*>("CheckBoxLegend")->isChecked());
    QVERIFY(!form_->findChild<QCheckBox*>("CheckBoxHorizontal")->isChecked());
    QVERIFY(form_->findChild<QCheckBox*>("CheckBoxBottom")->isChecked());

    // Cancel leaves the chart alone.
    QTimer::singleShot(0, this, [] {
        if (auto* dialog = QApplication::activeModalWidget()) {
            dialog->findChild<QDoubleSpinBox*>("leftMax")->setValue(999);
            static_cast<QDialog*>(dialog)->reject();
        }
    });
    form_->findChild<QPushButton*>("Button6")->click();
    QCOMPARE(chart->yAxis->range().upper, 80.0);
}

void TestInternForm::exportImages_data() {
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("magic");
    QTest::newRow("PNG") << int(ImageFormat::Png) << "chart.png" << QByteArray("\x89PNG");
    QTest::newRow("JPEG") << int(ImageFormat::Jpeg) << "chart.jpg" << QByteArray("\xff\xd8\xff");
    QTest::newRow("BMP") << int(ImageFormat::Bmp) << "chart.bmp" << QByteArray("BM");
    QTest::newRow("PDF") << int(ImageFormat::Pdf) << "chart.pdf" << QByteArray("%PDF");
}

void TestInternForm::exportImages() {
    QFETCH(int, format);
    QFETCH(QString, name);
    QFETCH(QByteArray, magic);
    MeasurementChart* chart = form_->chart();
    StatusRecord r;
    for (int i = 0; i < 600; ++i) {
        r.humidityTop = std::uint16_t(400 + i % 50);
        form_->PlotStatusRecord(r, kT0 + i * 1000);
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QCOMPARE(exportImage(*chart, path, ImageFormat(format), 640, 360), QString());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.read(magic.size()) == magic);
    if (ImageFormat(format) != ImageFormat::Pdf) {
        QImageReader reader(path);
        QCOMPARE(reader.size(), QSize(640, 360));
    }
    // An unwritable place is an error text, not a crash.
    QVERIFY(!exportImage(*chart, dir.filePath("missing/dir/") + name, ImageFormat(format), 640, 360)
                 .isEmpty());
    // The clipboard gets the picture at the chosen size.
    copyChartToClipboard(*chart, 320, 200);
    QCOMPARE(QGuiApplication::clipboard()->pixmap().size(), QSize(320, 200));
}

void TestInternForm::daylightSavingDoesNotFold() {
    // Central European time: on 25 October 2026 the clocks go back from 03:00 to 02:00, so the
    // local hour from 02:00 to 03:00 happens twice.
#ifdef Q_OS_WIN
    QSKIP("TZ does not choose a time zone by its name on Windows");
#endif
    const QByteArray oldTz = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    auto restore = qScopeGuard([&] {
        if (oldTz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", oldTz);
        tzset();
    });
    const qint64 start = QDateTime(QDate(2026, 10, 25), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    StatusRecord r;
    for (int i = 0; i <= 12; ++i) { // 00:00 to 02:00 UTC, every ten minutes
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(start + i * 600'000, Qt::LocalTime);
        form_->PlotStatusRecord(r, local);
    }
    const HistoryStore& store = form_->chart()->store();
    QCOMPARE(store.size(), std::size_t(13));
    QCOMPARE(store.clampedCount(), std::size_t(0));
    for (std::size_t i = 1; i < store.size(); ++i)
        QCOMPARE(store.timeAt(i) - store.timeAt(i - 1), qint64(600'000));
    // 02:30 summer time and 02:30 winter time stay an hour apart, with their own offsets.
    QBuffer csv;
    csv.open(QIODevice::WriteOnly);
    QCOMPARE(writeCsv(csv, store, 0, store.size()), QString());
    QStringList lines = QString::fromUtf8(csv.data()).split('\n', Qt::SkipEmptyParts);
    lines.removeIf([](const QString& l) { return l.startsWith('#'); }); // gap notes
    QCOMPARE(lines.size(), 14);
    QVERIFY2(lines[4].startsWith("2026-10-25T02:30:00") &&
                 lines[4].section(',', 0, 0).endsWith("+02:00"),
             qPrintable(lines[4]));
    QVERIFY2(lines[10].startsWith("2026-10-25T02:30:00") &&
                 lines[10].section(',', 0, 0).endsWith("+01:00"),
             qPrintable(lines[10]));
    // The axis labels show local time.
    MeasurementChart* chart = form_->chart();
    chart->resize(1200, 500);
    chart->autosize();
    chart->replot();
    const QVector<double> ticks = chart->xAxis->tickVector();
    const QVector<QString> labels = chart->xAxis->tickVectorLabels();
    QVERIFY(ticks.size() >= 3);
    for (qsizetype i = 0; i < ticks.size(); ++i) {
        if (i > 0)
            QVERIFY(ticks[i] > ticks[i - 1]);
        const QDateTime local =
            QDateTime::fromMSecsSinceEpoch(qint64(std::llround(ticks[i] * 1000)), Qt::LocalTime);
        QCOMPARE(labels[i], local.toString(QStringLiteral("dd.MM.yy\nHH:mm:ss")));
    }
}

QTEST_MAIN(TestInternForm)
#include "test_intern_form.moc"
