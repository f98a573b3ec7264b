// Runs calls on the thread of a QObject (the main thread for the HID link), posted from any
// thread. The call travels in an event of its own; Qt's event queue is the only link between
// the threads, so for ThreadSanitizer builds against an uninstrumented Qt the hand-over is
// announced explicitly (release when posted, acquire when delivered or discarded).
#pragma once

#include <QObject>

#include <functional>

namespace hq {

class MainThreadCall : public QObject {
public:
    explicit MainThreadCall(QObject* parent = nullptr) : QObject(parent) {}
    // Thread-safe. The call runs on this object's thread from its event loop; it is dropped
    // unrun if this object is destroyed first.
    void post(std::function<void()> call);

protected:
    bool event(QEvent* e) override;
};

} // namespace hq
