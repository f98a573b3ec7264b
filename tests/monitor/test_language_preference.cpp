// The language preference: read once at start-up, applied to the language box, stored at close.
#include "monitor_test_support.h"

#include <QTest>

using namespace hq;
using hq::test::control;
using hq::test::WindowFixture;

namespace {

const QString kOrganisation = hq::test::preferenceOrganisation();
const QString kApplication = QStringLiteral("HQ3746DC");

void fillTwoLanguages(monitor::SchrankFormOptions& options) {
    options.loadLanguageList = [](monitor::SchrankForm& form) {
        control<QComboBox>(form, "Sprachwahl")
            ->addItems({QStringLiteral("Deutsch"), QStringLiteral("English")});
    };
}

} // namespace

class TestLanguagePreference : public QObject {
    Q_OBJECT
private slots:
    void startAndClose_data() {
        QTest::addColumn<QVariant>("stored"); // invalid: no value stored
        QTest::addColumn<int>("selected");
        QTest::addColumn<int>("writtenAtClose");
        QTest::newRow("first start") << QVariant() << 0 << 0;
        QTest::newRow("second language") << QVariant(1) << 1 << 1;
        QTest::newRow("index that names no language") << QVariant(5) << -1 << -1;
        QTest::newRow("negative index") << QVariant(-3) << -1 << -1;
        QTest::newRow("not an integer counts as absent")
            << QVariant(QStringLiteral("abc")) << 0 << 0;
    }
    void startAndClose() {
        QFETCH(QVariant, stored);
        QFETCH(int, selected);
        QFETCH(int, writtenAtClose);
        // The fixture points the settings store at its own folder before it runs this.
        WindowFixture fx([&](monitor::SchrankFormOptions& options) {
            fillTwoLanguages(options);
            if (stored.isValid()) {
                QSettings s(QSettings::NativeFormat, QSettings::UserScope, kOrganisation,
                            kApplication);
                s.setValue(QStringLiteral("1.0/lang"), stored);
            }
        });
        QCOMPARE(control<QComboBox>(*fx.form, "Sprachwahl")->currentIndex(), selected);
        QCOMPARE(fx.form->languageIndex(), selected);
        QVERIFY(fx.errors.empty());
        fx.form->close();
        const QSettings s(QSettings::NativeFormat, QSettings::UserScope, kOrganisation,
                          kApplication);
        QCOMPARE(s.value(QStringLiteral("1.0/lang")).toInt(), writtenAtClose);
    }

    void userChoiceIsStored() {
        WindowFixture fx(fillTwoLanguages);
        auto* box = control<QComboBox>(*fx.form, "Sprachwahl");
        QCOMPARE(fx.form->languageIndex(), 0);
        box->setCurrentIndex(1);
        emit box->activated(1); // what a user's choice raises
        QCOMPARE(fx.form->languageIndex(), 1);
        fx.form->close();
        QCOMPARE(monitor::LanguagePreference(kOrganisation, kApplication).read(),
                 std::optional<int>(1));
    }

    void emptyLanguageBox() {
        // Without a language catalogue nothing can be selected.
        WindowFixture fx;
        QCOMPARE(fx.form->languageIndex(), -1);
    }
};

QTEST_MAIN(TestLanguagePreference)
#include "test_language_preference.moc"
