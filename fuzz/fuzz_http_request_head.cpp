// Feeds arbitrary bytes to the metrics page's request head parser, whole and in pieces whose
// lengths come from the first byte, and checks what the server relies on: no more than 8192
// bytes are ever taken, the result does not depend on the pieces, a complete head is what its
// own bytes give when parsed again, and the answer is one of 200, 400, 404 and 405.
#include "fleet/http_request_head.h"
#include "fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using hq::fleet::kMaxRequestHead;
using hq::fleet::RequestHeadParser;
using hq::fuzz::check;
using State = RequestHeadParser::State;

namespace {

bool sameResult(const RequestHeadParser& a, const RequestHeadParser& b) {
    if (a.state() != b.state() || a.consumed() != b.consumed())
        return false;
    return a.state() != State::Complete ||
           (a.head().method == b.head().method && a.head().path == b.head().path &&
            a.head().version == b.head().version);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::string_view all(reinterpret_cast<const char*>(data + 1), size - 1);

    RequestHeadParser whole;
    whole.feed(all);

    // Pieces of 1 to 64 bytes, their lengths from a small generator seeded with the first byte.
    RequestHeadParser pieces;
    std::uint32_t x = data[0] * 2654435761u + 1;
    for (std::size_t at = 0; at < all.size();) {
        x = x * 1664525u + 1013904223u;
        const std::size_t n = 1 + (x >> 24) % 64;
        pieces.feed(all.substr(at, n));
        at += n;
        check(pieces.consumed() <= kMaxRequestHead);
    }
    check(sameResult(whole, pieces));

    check(whole.consumed() <= kMaxRequestHead && whole.consumed() <= all.size());
    switch (whole.state()) {
    case State::NeedMore:
        check(whole.consumed() == all.size());
        break;
    case State::TooLarge:
        check(all.size() > kMaxRequestHead && whole.consumed() == kMaxRequestHead);
        break;
    case State::Complete: {
        // The head ends with its empty line, and its own bytes give the same head.
        const std::string_view head = all.substr(0, whole.consumed());
        check(head.ends_with("\n\n") || head.ends_with("\n\r\n"));
        RequestHeadParser again;
        again.feed(head);
        check(sameResult(whole, again));
        const auto& h = whole.head();
        check(!h.method.empty() && !h.path.empty() && h.path.front() == '/');
        check(h.path.find_first_of("?# \r\n") == std::string::npos);
        check(h.version.starts_with("HTTP/1.") && h.version.size() == 8);
        break;
    }
    case State::Malformed:
        break;
    }

    bool pageMade = false;
    const auto response = hq::fleet::responseFor(whole, [&] {
        pageMade = true;
        return std::string("page\n");
    });
    const int s = response.status;
    check(s == 200 || s == 400 || s == 404 || s == 405);
    const bool metricsGet = whole.state() == State::Complete && whole.head().method == "GET" &&
                            whole.head().path == "/metrics";
    check((s == 200) == metricsGet && pageMade == metricsGet);
    check(response.text.starts_with("HTTP/1.1 " + std::to_string(s) + " "));
    const std::size_t bodyAt = response.text.find("\r\n\r\n");
    check(bodyAt != std::string::npos);
    const std::string length =
        "\r\nContent-Length: " + std::to_string(response.text.size() - bodyAt - 4) + "\r\n";
    check(response.text.find(length) < bodyAt);
    return 0;
}
