#include "app/main_window_end.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

namespace hq::app {

namespace {

class MainWindowEnd : public QObject {
public:
    explicit MainWindowEnd(QWidget& mainWindow) : QObject(&mainWindow), main_(&mainWindow) {
        mainWindow.installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        // The close handler runs after this filter; what it decided is seen once the event has
        // been handled.
        if (watched == main_ && event->type() == QEvent::Close)
            QMetaObject::invokeMethod(
                this, [this] { endIfClosed(); }, Qt::QueuedConnection);
        return false;
    }

private:
    void endIfClosed() {
        if (main_ == nullptr || main_->isVisible())
            return;
        const QList<QPointer<QWidget>> others = [this] {
            QList<QPointer<QWidget>> list;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w != main_ && w->isVisible())
                    list.append(w);
            return list;
        }();
        for (const QPointer<QWidget>& w : others)
            if (w != nullptr)
                w->close();
        QCoreApplication::quit();
    }

    QPointer<QWidget> main_;
};

} // namespace

void endWithMainWindow(QWidget& mainWindow) {
    new MainWindowEnd(mainWindow);
}

} // namespace hq::app
