// The settings spin edit: a typed number outside the range is taken while typing and becomes the
// nearest limit when the field is left; a text that is no number becomes the minimum.
#include "widgets/spin_edit.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>

class SpinEditTest : public QObject {
    Q_OBJECT
private slots:
    void clamped_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");
        QTest::newRow("in range") << "45" << 5 << 60 << 45;
        QTest::newRow("above") << "75" << 5 << 60 << 60;
        QTest::newRow("far above") << "999999999" << 5 << 60 << 60;
        QTest::newRow("below") << "2" << 5 << 60 << 5;
        QTest::newRow("negative below zero range") << "-4" << 0 << 60 << 0;
        QTest::newRow("empty") << "" << 5 << 60 << 5;
        QTest::newRow("no number") << "abc" << 3 << 10 << 3;
        QTest::newRow("blanks around") << " 12 " << 0 << 60 << 12;
        QTest::newRow("beyond 64 bits") << "99999999999999999999999" << 5 << 60 << 60;
    }
    void clamped() {
        QFETCH(QString, text);
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(int, value);
        QCOMPARE(hq::SpinEdit::clamped(text, minimum, maximum), value);
    }

    void typedKeys_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("whileTyping");
        QTest::addColumn<int>("value");
        QTest::newRow("75 in 5 to 60") << "75"
                                       << "75" << 60;
        QTest::newRow("7 in 5 to 60") << "7"
                                      << "7" << 7;
        QTest::newRow("2 in 5 to 60") << "2"
                                      << "2" << 5;
        QTest::newRow("letters are refused") << "4x2"
                                             << "42" << 42;
        QTest::newRow("no more than nine digits") << "12345678901"
                                                  << "123456789" << 60;
    }
    void typedKeys() {
        QFETCH(QString, typed);
        QFETCH(QString, whileTyping);
        QFETCH(int, value);
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* spin = new hq::SpinEdit(&window);
        spin->setRange(5, 60);
        spin->setValue(30);
        auto* other = new QPushButton(QStringLiteral("Setzen"), &window);
        layout->addWidget(spin);
        layout->addWidget(other);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        spin->setFocus();
        spin->selectAll();
        QTest::keyClick(spin, Qt::Key_Delete);
        QTest::keyClicks(spin, typed);
        QCOMPARE(spin->text(), whileTyping);
        other->setFocus(); // the spin edit loses the focus
        QVERIFY(QTest::qWaitFor([&] { return !spin->hasFocus(); }, 2000));
        QCOMPARE(spin->value(), value);
        QCOMPARE(spin->text(), QString::number(value));
    }
};

QTEST_MAIN(SpinEditTest)
#include "test_spin_edit.moc"
