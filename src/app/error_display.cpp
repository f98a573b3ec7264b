#include "app/error_display.h"

#include <QMessageBox>

#include <cstdio>
#include <exception>

namespace hq::app {

QString errorDisplayText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

ErrorDisplay::ErrorDisplay(QString title) : title_(std::move(title)) {}

void ErrorDisplay::show(const QString& message) const {
    const QString text = errorDisplayText(message);
    if (presenter_) {
        presenter_(title_, text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, title_, text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
    QString message;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        message = QString::fromUtf8(e.what());
    } catch (...) {
        message = QStringLiteral("Unknown error");
    }
    // Shown outside the catch block: the box runs its own event loop.
    if (display_ != nullptr)
        display_->show(message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(errorDisplayText(message)));
    return false;
}

} // namespace hq::app
