// The program entry's pieces: the command line, the error display and the application object
// that keeps exceptions from crossing the event loop; and the program itself started with the
// simulated cabinet, quitting cleanly on its own with every record it received stored, and
// started on a cabinet's stored history alone.
#include "../history/history_test_support.h"
#include "app/app_options.h"
#include "app/error_display.h"
#include "history/archive_location.h"
#include "history/archive_reader.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <stdexcept>

using namespace hq::app;

namespace {

class ThrowingObject : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User)
            throw std::runtime_error("Kaputt");
        return QObject::event(e);
    }
};

} // namespace

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void errorText_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "Socket kann nicht zugewiesen werden"
                                << "Socket kann nicht zugewiesen werden.";
        QTest::newRow("already a point") << "Kein Schrank."
                                         << "Kein Schrank.";
        QTest::newRow("exclamation mark sorts before") << "Fehler!"
                                                       << "Fehler!";
        QTest::newRow("closing parenthesis sorts before") << "Code (5)"
                                                          << "Code (5)";
        QTest::newRow("hyphen sorts before") << "a -"
                                             << "a -";
        QTest::newRow("slash sorts after") << "Pfad C:/"
                                           << "Pfad C:/.";
        QTest::newRow("digit") << "Socket-Fehler # 10013"
                               << "Socket-Fehler # 10013.";
        QTest::newRow("question mark") << "Warum?"
                                       << "Warum?.";
        QTest::newRow("umlaut") << "Package-Größe zu hoch ä"
                                << "Package-Größe zu hoch ä.";
        QTest::newRow("line break sorts before") << "Zeile\n"
                                                 << "Zeile\n";
        QTest::newRow("empty") << ""
                               << "";
    }
    void errorText() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(errorDisplayText(message), shown);
    }

    void errorBoxIsModalWithTitleIconAndOk() {
        ErrorDisplay display(QStringLiteral("HQ3746 Monitor"));
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        bool seen = false;
        bool modal = false;
        // Looked for until the box is up (under Wine it takes a few turns of the event loop).
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            QMessageBox* box = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible())
                    box = b;
            if (box == nullptr)
                return;
            look.stop();
            modal = box->isModal();
            seen = true;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->standardButtons();
            box->button(QMessageBox::Ok)->click();
        });
        look.start(10);
        display.show(QStringLiteral("Datei nicht gefunden"));
        QVERIFY(seen);
        QVERIFY(modal);
        QCOMPARE(title, QStringLiteral("HQ3746 Monitor"));
        QCOMPARE(text, QStringLiteral("Datei nicht gefunden."));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

    void exceptionInHandlerIsShownAndTheLoopGoesOn() {
        auto* app = dynamic_cast<GuardedApplication*>(QCoreApplication::instance());
        QVERIFY(app != nullptr);
        ErrorDisplay display(QStringLiteral("T"));
        QStringList shown;
        display.setPresenter([&](const QString&, const QString& t) { shown << t; });
        app->setErrorDisplay(&display);
        ThrowingObject target;
        QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
        QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
        bool timerRan = false;
        QTimer::singleShot(0, [&] { timerRan = true; });
        QTRY_COMPARE(shown.size(), 2);
        QCOMPARE(shown[0], QStringLiteral("Kaputt."));
        QVERIFY(timerRan);
        app->setErrorDisplay(nullptr);
    }

    void options_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("simulate");
        QTest::addColumn<int>("quitAfter"); // -1: not given
        QTest::addColumn<bool>("help");
        QTest::addColumn<QString>("chart");
        auto row = [](const char* name, QStringList args, bool ok, bool simulate = false,
                      int quitAfter = -1, bool help = false, QString chart = {}) {
            QTest::newRow(name) << args << ok << simulate << quitAfter << help << chart;
        };
        row("none", {}, true);
        row("simulate", {"--simulate"}, true, true);
        row("quit after", {"--simulate", "--quit-after", "6000"}, true, true, 6000);
        row("quit after with =", {"--quit-after=0"}, true, false, 0);
        row("help", {"--help"}, true, false, -1, true);
        row("short help", {"-h"}, true, false, -1, true);
        row("chart file", {"--open-chart", "/tmp/a b.hqchart"}, true, false, -1, false,
            "/tmp/a b.hqchart");
        row("not a number", {"--quit-after", "soon"}, false);
        row("negative", {"--quit-after", "-5"}, false);
        row("missing value", {"--quit-after"}, false);
        row("chart without file", {"--open-chart"}, false);
        row("unknown option", {"--simulated"}, false);
        row("stray argument", {"cabinet"}, false);
    }
    void options() {
        QFETCH(QStringList, args);
        QFETCH(bool, ok);
        QFETCH(bool, simulate);
        QFETCH(int, quitAfter);
        QFETCH(bool, help);
        QFETCH(QString, chart);
        args.prepend(QStringLiteral("hq3746-monitor"));
        const ParsedOptions parsed = parseAppOptions(args);
        QCOMPARE(parsed.error.isEmpty(), ok);
        QVERIFY(parsed.helpText.contains(QStringLiteral("--simulate")));
        QVERIFY(parsed.helpText.contains(QStringLiteral("hq3746-monitor")));
        if (!ok)
            return;
        QCOMPARE(parsed.options.simulate, simulate);
        QCOMPARE(parsed.options.help, help);
        QCOMPARE(parsed.options.quitAfterMs.value_or(-1), quitAfter);
        QCOMPARE(parsed.options.openChart, chart);
    }

    void programRunsSimulatedAndQuitsCleanly() {
        // Run twice on one history folder: closing and starting again keeps the history.
        QTemporaryDir historyRoot;
        std::uint64_t before = 0;
        std::int64_t firstBefore = 0;
        for (int run = 0; run < 2; ++run) {
            QProcess program;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            env.insert(QStringLiteral("HQ_REPORT_STARTUP"), QStringLiteral("1"));
            env.insert(QStringLiteral("HQ_REPORT_RECORDS"), QStringLiteral("1"));
            const QString home = QDir::tempPath() + QStringLiteral("/hq3746-test-home");
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), home); // keep the user's preference
            env.insert(QStringLiteral("HQ3746_HISTORY_DIR"), historyRoot.path());
            program.setProcessEnvironment(env);
            program.start(QStringLiteral(HQ_MONITOR_EXECUTABLE),
                          {QStringLiteral("--simulate"), QStringLiteral("--quit-after"),
                           QStringLiteral("2500")});
            QVERIFY(program.waitForStarted(10000));
            QVERIFY(program.waitForFinished(30000));
            const QString err = QString::fromLocal8Bit(program.readAllStandardError());
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 0);
            QVERIFY2(err.contains(QStringLiteral("first paint at")), qPrintable(err));
            // Polled once a second for 2.5 s: the simulated cabinet answered at least once.
            const QRegularExpressionMatch records =
                QRegularExpression(QStringLiteral("(\\d+) status records received")).match(err);
            QVERIFY2(records.hasMatch(), qPrintable(err));
            QVERIFY2(records.captured(1).toInt() >= 1, qPrintable(err));
            // Every status record the program received went into the simulated cabinet's stored
            // history, under its serial number and nowhere else.
            QCOMPARE(hq::history::listCabinetDirectories(historyRoot.path()),
                     QStringList{hq::history::cabinetDirectory(historyRoot.path(), "12345678")});
            auto reader = hq::history::ArchiveReader::open(historyRoot.path() + "/12345678");
            QVERIFY2(reader.ok(), qPrintable(err));
            QVERIFY(reader->problems().empty());
            QVERIFY(reader->tail().empty()); // the open block was sealed on closing
            QVERIFY2(reader->recordCount() == before + records.captured(1).toULongLong(),
                     qPrintable(QStringLiteral("%1 stored after %2, %3")
                                    .arg(reader->recordCount())
                                    .arg(before)
                                    .arg(err)));
            if (run == 0)
                firstBefore = *reader->firstTimeMs();
            QCOMPARE(*reader->firstTimeMs(), firstBefore);
            before = reader->recordCount();
        }
    }

    void programShowsTheStoredHistoryOfACabinet() {
        // hq3746-monitor --history SERIAL: the viewer alone, over that cabinet's folder.
        QTemporaryDir historyRoot;
        const QString folder = hq::history::cabinetDirectory(historyRoot.path(), "4711");
        {
            std::vector<std::string> notices;
            auto w = hq::history::ArchiveWriter::open(folder, "4711", hq::testing::SmallBlocks(64),
                                                      notices);
            QVERIFY(w.ok());
            for (std::uint64_t i = 0; i < 1000; ++i)
                QVERIFY((*w)->append(hq::testing::IndexedRow(i)).ok());
        }
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("HQ_REPORT_STARTUP"), QStringLiteral("1"));
        env.insert(QStringLiteral("HQ3746_HISTORY_DIR"), historyRoot.path());
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(HQ_MONITOR_EXECUTABLE),
                      {QStringLiteral("--history"), QStringLiteral("4711"),
                       QStringLiteral("--quit-after"), QStringLiteral("1500")});
        QVERIFY(program.waitForStarted(10000));
        QVERIFY(program.waitForFinished(30000));
        const QString err = QString::fromUtf8(program.readAllStandardError());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        // The window painted is the viewer, titled with the cabinet and its folder.
        const QString title =
            QStringLiteral("Verlauf N#4711 \u2013 ") + QDir::toNativeSeparators(folder);
        QVERIFY2(err.contains(QStringLiteral("first paint at")) &&
                     err.contains(QStringLiteral("(window \"%1\")").arg(title)),
                 qPrintable(err));
    }

    void helpNeedsNoDisplay() {
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(HQ_MONITOR_EXECUTABLE), {QStringLiteral("--help")});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(program.readAllStandardOutput().contains("--quit-after"));
        program.start(QStringLiteral(HQ_MONITOR_EXECUTABLE), {QStringLiteral("--nonsense")});
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 2);
    }
};

int main(int argc, char** argv) {
    GuardedApplication app(argc, argv);
    TestApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app.moc"
