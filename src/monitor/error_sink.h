// How a window hands an error to the application's one error display. Every event handler of a
// window catches at its own boundary and passes what it caught here; no exception crosses the
// event loop.
#pragma once

#include <QString>

#include <exception>
#include <functional>

namespace hq::monitor {

using ErrorSink = std::function<void(const QString& text)>;

// Runs f; any exception it throws goes to sink (or is dropped when sink is empty).
template <typename F> void runGuarded(const ErrorSink& sink, F&& f) noexcept {
    try {
        f();
    } catch (const std::exception& e) {
        if (sink)
            sink(QString::fromUtf8(e.what()));
    } catch (...) {
        if (sink)
            sink(QStringLiteral("Unknown error"));
    }
}

} // namespace hq::monitor
