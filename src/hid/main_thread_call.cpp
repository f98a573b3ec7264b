#include "hid/main_thread_call.h"

#include <QCoreApplication>
#include <QEvent>

#if defined(__SANITIZE_THREAD__)
#define HQ_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HQ_TSAN 1
#endif
#endif

#ifdef HQ_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define HQ_TSAN_ACQUIRE(p) __tsan_acquire(p)
#define HQ_TSAN_RELEASE(p) __tsan_release(p)
#else
#define HQ_TSAN_ACQUIRE(p) ((void)(p))
#define HQ_TSAN_RELEASE(p) ((void)(p))
#endif

namespace hq {

namespace {

const QEvent::Type kCallEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class CallEvent : public QEvent {
public:
    explicit CallEvent(std::function<void()> c) : QEvent(kCallEventType), call(std::move(c)) {}
    // Qt frees a posted event on the receiving thread, also when it is discarded undelivered.
    ~CallEvent() override { HQ_TSAN_ACQUIRE(this); }
    std::function<void()> call;
};

} // namespace

void MainThreadCall::post(std::function<void()> call) {
    auto* e = new CallEvent(std::move(call));
    HQ_TSAN_RELEASE(e);
    QCoreApplication::postEvent(this, e);
}

bool MainThreadCall::event(QEvent* e) {
    HQ_TSAN_ACQUIRE(e); // before anything of a call event is read
    if (e->type() != kCallEventType)
        return QObject::event(e);
    auto call = std::move(static_cast<CallEvent*>(e)->call);
    if (call)
        call();
    return true;
}

} // namespace hq
