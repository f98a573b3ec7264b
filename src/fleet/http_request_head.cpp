#include "fleet/http_request_head.h"

#include <algorithm>

namespace hq::fleet {
namespace {

// ASCII only: the C library's classes follow the locale, which Qt sets from the environment.
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A character of a token: a method or a header name.
bool isTokenChar(char c) {
    if (isAsciiAlpha(c) || isAsciiDigit(c))
        return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar);
}

// Visible ASCII, no space.
bool isTargetChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x21 && u <= 0x7E;
}

// Visible characters, space, tab and bytes from 0x80 on.
bool isFieldValueChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u == '\t' || (u >= 0x20 && u != 0x7F);
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), s.begin(),
                      [](char a, char b) { return asciiLower(a) == asciiLower(b); });
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && startsWithNoCase(a, b);
}

// The path of a request target, or an empty text when the target is neither an origin form
// nor an absolute http(s) form.
std::string_view pathOf(std::string_view target) {
    if (target.empty() || !std::all_of(target.begin(), target.end(), isTargetChar))
        return {};
    if (target.front() != '/') {
        std::size_t scheme = 0;
        if (startsWithNoCase(target, "http://"))
            scheme = 7;
        else if (startsWithNoCase(target, "https://"))
            scheme = 8;
        else
            return {};
        const std::size_t authorityEnd = target.find_first_of("/?#", scheme);
        if (authorityEnd == scheme)
            return {}; // no authority
        if (authorityEnd == std::string_view::npos || target[authorityEnd] != '/')
            return "/";
        target.remove_prefix(authorityEnd);
    }
    return target.substr(0, target.find_first_of("?#"));
}

const char* reasonOf(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    default:
        return "Bad Request";
    }
}

} // namespace

RequestHeadParser::State RequestHeadParser::feed(std::string_view bytes) {
    for (const char c : bytes) {
        if (state_ != State::NeedMore)
            break;
        if (consumed_ == kMaxRequestHead) {
            state_ = State::TooLarge;
            break;
        }
        ++consumed_;
        if (pendingCr_) {
            pendingCr_ = false;
            if (c != '\n') {
                state_ = State::Malformed;
                break;
            }
            takeLine(line_);
        } else if (c == '\r') {
            pendingCr_ = true;
        } else if (c == '\n') {
            takeLine(line_);
        } else {
            line_ += c;
        }
    }
    return state_;
}

void RequestHeadParser::takeLine(std::string_view line) {
    bool ok = true;
    if (!requestLineSeen_) {
        if (!line.empty()) // empty lines before the request line are skipped
            ok = takeRequestLine(line);
    } else if (line.empty()) {
        finishHead();
    } else {
        ok = takeHeaderLine(line);
    }
    if (!ok)
        state_ = State::Malformed;
    line_.clear();
}

bool RequestHeadParser::takeRequestLine(std::string_view line) {
    const std::size_t sp1 = line.find(' ');
    if (sp1 == std::string_view::npos)
        return false;
    const std::size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos)
        return false;
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    const std::string_view path = pathOf(target);
    if (!isToken(method) || path.empty())
        return false;
    if (version.size() != 8 || !version.starts_with("HTTP/1.") || !isAsciiDigit(version[7]))
        return false;
    head_.method = method;
    head_.path = path;
    head_.version = version;
    requestLineSeen_ = true;
    return true;
}

bool RequestHeadParser::takeHeaderLine(std::string_view line) {
    // A line starting with white space continues the previous one (obsolete folding): refused.
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
        return false;
    const std::string_view value = line.substr(colon + 1);
    if (!std::all_of(value.begin(), value.end(), isFieldValueChar))
        return false;
    if (equalsNoCase(line.substr(0, colon), "host"))
        ++hostHeaders_;
    return true;
}

void RequestHeadParser::finishHead() {
    // HTTP/1.1 and later minor versions name their host exactly once; HTTP/1.0 at most once.
    const bool needsHost = head_.version != "HTTP/1.0";
    if (hostHeaders_ > 1 || (needsHost && hostHeaders_ == 0)) {
        state_ = State::Malformed;
        return;
    }
    state_ = State::Complete;
}

HttpResponse responseFor(const RequestHeadParser& parser,
                         const std::function<std::string()>& page) {
    int status = 400;
    if (parser.state() == RequestHeadParser::State::Complete) {
        const RequestHead& head = parser.head();
        if (head.path != "/metrics")
            status = 404;
        else
            status = head.method == "GET" ? 200 : 405;
    }
    std::string body;
    if (status == 200)
        body = page ? page() : std::string();
    else
        body = std::string(reasonOf(status)) + "\n";

    HttpResponse response;
    response.status = status;
    std::string& t = response.text;
    t = "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) + "\r\n";
    t += status == 200 ? "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                       : "Content-Type: text/plain; charset=utf-8\r\n";
    t += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (status == 405)
        t += "Allow: GET\r\n";
    t += "Connection: close\r\n\r\n";
    t += body;
    return response;
}

} // namespace hq::fleet
