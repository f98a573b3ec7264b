// The application's one error display: a modal box with the application title as caption, an
// error icon and an OK button. Every window hands the errors its handlers catch to it, and the
// application object routes anything that still escapes an event handler here, so no
// exception crosses the event loop and the application goes on.
#pragma once

#include <QApplication>
#include <QString>

#include <functional>

class QWidget;

namespace hq::app {

// The text as shown: "." appended when the last character sorts after ".".
QString errorDisplayText(const QString& message);

class ErrorDisplay {
public:
    explicit ErrorDisplay(QString title);

    const QString& title() const { return title_; }
    // Shows the box and waits for OK. The replacement is for tests (no modal loop).
    void show(const QString& message) const;
    void setPresenter(std::function<void(const QString& title, const QString& text)> presenter) {
        presenter_ = std::move(presenter);
    }

private:
    QString title_;
    std::function<void(const QString& title, const QString& text)> presenter_;
};

// Catches what an event handler lets escape and shows it on the error display.
class GuardedApplication : public QApplication {
public:
    GuardedApplication(int& argc, char** argv);
    void setErrorDisplay(const ErrorDisplay* display) { display_ = display; }
    bool notify(QObject* receiver, QEvent* event) override;

private:
    const ErrorDisplay* display_ = nullptr;
};

} // namespace hq::app
