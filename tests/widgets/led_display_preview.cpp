// Manual look at the readout: the monitor window's three configurations plus a few styles.
// Not run by ctest; build target led_display_preview and run it on a display.
#include "widgets/led_display.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QTimer>
#include <QWidget>

using hq::LedDisplay;

namespace {

LedDisplay* humidity(QWidget* parent, double value) {
    auto* led = new LedDisplay(parent);
    led->setFixedSize(88, 33);
    led->setColorLED(QColor(0, 255, 255));
    led->setDigitHeight(25);
    led->setDigitWidth(16);
    led->setNumDigits(4);
    led->setFractionDigits(1);
    led->setLeadingZeros(false);
    led->setLEDContrast(7);
    led->setValue(value);
    return led;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    auto* grid = new QGridLayout(&window);
    int row = 0;
    auto add = [&](const QString& caption, QWidget* w) {
        grid->addWidget(new QLabel(caption, &window), row, 0);
        grid->addWidget(w, row, 1, Qt::AlignLeft);
        ++row;
    };
    add("oben 45.3", humidity(&window, 45.3));
    add("unten 3.7", humidity(&window, 3.7));
    add("0", humidity(&window, 0));
    add("1234.5", humidity(&window, 1234.5));
    add("-5.2", humidity(&window, -5.2));

    auto* phase = new LedDisplay(&window);
    phase->setFixedSize(57, 36);
    phase->setLeadingZeros(false);
    phase->setLEDContrast(8);
    phase->setNumDigits(2);
    add("Programmphase", phase);

    auto* all = new LedDisplay(&window);
    all->setFixedSize(300, 40);
    all->setNumDigits(10);
    all->setValue(1234567890);
    add("digits", all);

    const struct {
        const char* name;
        LedDisplay::DecSeparator sep;
    } seps[] = {{"apostrophe", LedDisplay::SepApostrophe},
                {"doublepoint", LedDisplay::SepDoublePoint},
                {"hyphen", LedDisplay::SepHyphen},
                {"point", LedDisplay::SepPoint},
                {"semicolon", LedDisplay::SepSemicolon}};
    for (const auto& s : seps) {
        auto* led = new LedDisplay(&window);
        led->setFixedSize(168, 36);
        led->setFractionDigits(2);
        led->setDecSeparator(s.sep);
        led->setValue(12.34);
        add(s.name, led);
    }

    auto* rect = new LedDisplay(&window);
    rect->setFixedSize(168, 36);
    rect->setSegmentStyle(LedDisplay::SegmentRectangular);
    rect->setValue(908.0);
    rect->setFractionDigits(1);
    rect->setBevelStyle(LedDisplay::BevelRaised);
    add("rectangular", rect);

    auto* big = new LedDisplay(&window);
    big->setFixedSize(260, 70);
    big->setDigitHeight(60);
    big->setDigitWidth(36);
    big->setDigitLineWidth(7);
    big->setNumDigits(5);
    big->setFractionDigits(1);
    big->setColorLED(QColor(255, 40, 0));
    big->setValue(-37.5);
    add("big -37.5", big);

    window.move(0, 0);
    window.show();
    if (argc > 1) {
        QTimer::singleShot(std::atoi(argv[1]), &app, &QApplication::quit);
    }
    return app.exec();
}
