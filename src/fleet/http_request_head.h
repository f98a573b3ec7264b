// The head of an HTTP/1.x request (request line and header lines), read as its bytes arrive, and
// the answer of the metrics page to it. Standard library only.
//
// What is taken: "METHOD SP TARGET SP HTTP/1.d", then header lines "Name: value", then an empty
// line. Lines end with CRLF or with a bare LF (a CR not followed by LF is malformed). Empty lines
// before the request line are skipped. The target is an origin form ("/metrics?x") or an
// absolute form ("http://host:port/metrics"); the path is the target up to "?" or "#", not
// percent-decoded. An HTTP/1.1 request needs exactly one Host header. Obsolete line folding,
// white space before a header's colon, control characters and versions other than 1.x are
// malformed. The head, with the line end of its empty line, may have at most kMaxRequestHead
// bytes; its headers are checked but not kept, and a body is not read.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace hq::fleet {

inline constexpr std::size_t kMaxRequestHead = 8192;

struct RequestHead {
    std::string method;  // "GET"; methods are case-sensitive
    std::string path;    // "/metrics", without query and fragment
    std::string version; // "HTTP/1.1"
};

class RequestHeadParser {
public:
    enum class State {
        NeedMore,  // the head is not complete yet
        Complete,  // head() holds it
        TooLarge,  // more than kMaxRequestHead bytes without the end of the head
        Malformed, // not an HTTP/1.x request head
    };

    // Takes the next bytes; returns state(). Once the state is not NeedMore, further bytes are
    // not looked at. The result does not depend on how the bytes are split into pieces.
    State feed(std::string_view bytes);

    State state() const { return state_; }
    // Only when Complete.
    const RequestHead& head() const { return head_; }
    // The bytes taken so far: all of them while NeedMore; when Complete, the head's bytes up to
    // and including its empty line (what follows is the body); at most kMaxRequestHead.
    std::size_t consumed() const { return consumed_; }

private:
    void takeLine(std::string_view line);
    bool takeRequestLine(std::string_view line);
    bool takeHeaderLine(std::string_view line);
    void finishHead();

    State state_ = State::NeedMore;
    RequestHead head_;
    std::string line_; // the current line, without its line end
    bool pendingCr_ = false;
    bool requestLineSeen_ = false;
    int hostHeaders_ = 0;
    std::size_t consumed_ = 0;
};

// A whole HTTP response: status line, headers and body.
struct HttpResponse {
    int status = 0;
    std::string text;
};

// The answer to a request head: GET /metrics gets 200 with page() (Content-Type
// "text/plain; version=0.0.4; charset=utf-8"); another method on /metrics, HEAD too, gets 405
// with "Allow: GET"; another path 404; a malformed head (and one that is too large or not
// complete) 400. page is called only for the 200. Every answer has Content-Length and
// "Connection: close".
HttpResponse responseFor(const RequestHeadParser& parser, const std::function<std::string()>& page);

} // namespace hq::fleet
