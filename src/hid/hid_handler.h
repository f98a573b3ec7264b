// Handlers of the HID link: callables bound to their receiver, comparable by the function they
// call (whatever the receiver), so the controller can tell whether a device still carries the
// controller's default handler.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>

namespace hq {

class HidDevice;
class HidDeviceController;

template <typename Signature> class HidHandler;

template <typename R, typename... Args> class HidHandler<R(Args...)> {
public:
    HidHandler() = default;
    HidHandler(std::nullptr_t) {}

    // Any callable; two handlers made from callables of the same type (the same lambda, the
    // same functor class) or the same function pointer count as equal.
    template <typename F>
    requires(!std::is_same_v<std::decay_t<F>, HidHandler> &&
             !std::is_same_v<std::decay_t<F>, std::nullptr_t> &&
             std::is_invocable_r_v<R, F&, Args...>) HidHandler(F&& f)
        : fn_(std::forward<F>(f)), type_(typeid(std::decay_t<F>)) {
        if constexpr (std::is_pointer_v<std::decay_t<F>>)
            setCode(f);
    }

    // A member function bound to its receiver; equal to any binding of the same member
    // function, whatever the receiver.
    template <typename C, typename M> static HidHandler bind(C* receiver, R (M::*method)(Args...)) {
        HidHandler h;
        h.fn_ = [receiver, method](Args... args) -> R {
            return (receiver->*method)(std::forward<Args>(args)...);
        };
        h.type_ = typeid(method);
        h.setCode(method);
        return h;
    }

    explicit operator bool() const { return static_cast<bool>(fn_); }
    R operator()(Args... args) const { return fn_(std::forward<Args>(args)...); }

    // Same function (or both none).
    friend bool operator==(const HidHandler& a, const HidHandler& b) {
        if (!a.fn_ || !b.fn_)
            return !a.fn_ && !b.fn_;
        return a.type_ == b.type_ && a.codeSize_ == b.codeSize_ &&
               std::memcmp(a.code_.data(), b.code_.data(), a.codeSize_) == 0;
    }

private:
    template <typename P> void setCode(const P& p) {
        static_assert(sizeof(P) <= sizeof(code_));
        codeSize_ = sizeof(P);
        std::memcpy(code_.data(), &p, sizeof(P));
    }

    std::function<R(Args...)> fn_;
    std::type_index type_{typeid(void)};
    std::array<unsigned char, 32> code_{};
    std::size_t codeSize_ = 0;
};

// An input report: ReportID is byte 0, Data points at byte 1 (valid only during the call),
// Size counts the bytes after the report ID.
using HidDataEvent = HidHandler<void(HidDevice* HidDev, std::uint8_t ReportID,
                                     const std::uint8_t* Data, std::uint16_t Size)>;
// A read could not be started; Error is the platform's error code.
using HidDataErrorEvent = HidHandler<void(HidDevice* HidDev, std::uint32_t Error)>;
using HidPlugEvent = HidHandler<void(HidDevice* HidDev)>;
// One call per plugged device; return true to continue.
using HidEnumerateEvent = HidHandler<bool(HidDevice* HidDev, std::int32_t Idx)>;
using HidNotifyEvent = HidHandler<void(HidDeviceController* sender)>;

} // namespace hq
