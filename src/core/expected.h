// The one shape of an error returned as a value: an operation that can fail returns
// Expected<T>, either its value or an Error. Standard library only, so every library can use it.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace hq {

struct Error {
    std::string message;    // for people, UTF-8, in the words a window would show
    std::uint32_t code = 0; // the system's error code where there is one (errno, GetLastError)

    friend bool operator==(const Error&, const Error&) = default;
};

template <class T> class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    // Only when !ok().
    const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

template <> class Expected<void> {
public:
    Expected() = default;
    Expected(Error error) : error_(std::move(error)), ok_(false) {}

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const Error& error() const { return error_; }

private:
    Error error_;
    bool ok_ = true;
};

// A failure with a message (and a code).
inline Error failure(std::string message, std::uint32_t code = 0) {
    return Error{std::move(message), code};
}

} // namespace hq
