#include "network/http_reply_parser.h"

#include <algorithm>

namespace hq {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool isTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) {
        return false;
    }
    return QByteArrayView("()<>@,;:\\\"/[]?={}").indexOf(c) < 0;
}

// Parses a run of decimal digits; false on anything else or more than 18 digits.
bool parseDecimal(QByteArrayView v, qint64& out) {
    if (v.isEmpty() || v.size() > 18) {
        return false;
    }
    qint64 value = 0;
    for (char c : v) {
        if (!isDigit(c)) {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

} // namespace

bool HttpReplyParser::headersComplete() const {
    switch (state_) {
    case State::Body:
    case State::ChunkSize:
    case State::ChunkData:
    case State::ChunkEnd:
    case State::Trailer:
    case State::Complete:
        return true;
    default:
        return false;
    }
}

QList<QByteArray> HttpReplyParser::headerValues(QByteArrayView name) const {
    QList<QByteArray> values;
    for (const auto& h : headers_) {
        if (QByteArrayView(h.first).compare(name, Qt::CaseInsensitive) == 0) {
            values.append(h.second);
        }
    }
    return values;
}

void HttpReplyParser::fail(Error e) {
    state_ = State::Failed;
    error_ = e;
    lineBuffer_.clear();
}

bool HttpReplyParser::takeLine(QByteArrayView& in, QByteArray& line) {
    const qsizetype lf = in.indexOf('\n');
    const QByteArrayView piece = lf < 0 ? in : in.first(lf);
    // A line may end in CR LF, so one more byte than the limit can be pending without an LF.
    if (lineBuffer_.size() + piece.size() > kMaxLineLength + 1) {
        fail(Error::LineTooLong);
        in = {};
        return false;
    }
    lineBuffer_.append(piece);
    if (lf < 0) {
        in = {};
        return false;
    }
    in = in.sliced(lf + 1);
    line = std::move(lineBuffer_);
    lineBuffer_ = QByteArray();
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (line.size() > kMaxLineLength) {
        fail(Error::LineTooLong);
        return false;
    }
    return true;
}

void HttpReplyParser::parseStatusLine(const QByteArray& line) {
    // HTTP/<major>.<minor> SP <3 digits> [SP reason]
    const QByteArrayView v(line);
    if (!v.startsWith("HTTP/")) {
        return fail(Error::MalformedStatusLine);
    }
    qsizetype i = 5;
    auto number = [&](int& out) {
        const qsizetype start = i;
        int value = 0;
        while (i < v.size() && isDigit(v[i]) && i - start < 3) {
            value = value * 10 + (v[i] - '0');
            ++i;
        }
        out = value;
        return i > start && (i >= v.size() || !isDigit(v[i]));
    };
    int major = 0;
    int minor = 0;
    if (!number(major) || i >= v.size() || v[i] != '.') {
        return fail(Error::MalformedStatusLine);
    }
    ++i;
    if (!number(minor) || major != 1) {
        return fail(Error::MalformedStatusLine);
    }
    if (i + 4 > v.size() || v[i] != ' ' || !isDigit(v[i + 1]) || !isDigit(v[i + 2]) ||
        !isDigit(v[i + 3])) {
        return fail(Error::MalformedStatusLine);
    }
    const int status = (v[i + 1] - '0') * 100 + (v[i + 2] - '0') * 10 + (v[i + 3] - '0');
    i += 4;
    if (status < 100 || (i < v.size() && v[i] != ' ')) {
        return fail(Error::MalformedStatusLine);
    }
    major_ = major;
    minor_ = minor;
    status_ = status;
    reason_ = i < v.size() ? v.sliced(i + 1).toByteArray() : QByteArray();
    headers_.clear();
    state_ = State::Headers;
}

void HttpReplyParser::parseHeaderLine(const QByteArray& line) {
    if (line.isEmpty()) {
        return endOfHeaders();
    }
    if (headers_.size() >= kMaxHeaderLines) {
        return fail(Error::TooManyHeaders);
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) {
        return fail(Error::MalformedHeader);
    }
    const QByteArrayView name = QByteArrayView(line).first(colon);
    if (!std::all_of(name.begin(), name.end(), isTokenChar)) {
        return fail(Error::MalformedHeader); // also catches folded continuation lines
    }
    headers_.append(
        {name.toByteArray(), trimBlanks(QByteArrayView(line).sliced(colon + 1)).toByteArray()});
}

void HttpReplyParser::endOfHeaders() {
    if (status_ == 100) {
        // "100 Continue" is the only interim reply skipped; a server cannot keep the reply open
        // with an endless row of them.
        if (interimReplies_ >= kMaxInterimReplies) {
            return fail(Error::TooManyInterimReplies);
        }
        ++interimReplies_;
        headers_.clear();
        state_ = State::StatusLine;
        return;
    }
    finalHeadersSeen_ = true;
    // Every Content-Length value (also comma-separated lists) must be the same number.
    contentLength_ = -1;
    for (const QByteArray& value : headerValues("Content-Length")) {
        for (const QByteArray& item : value.split(',')) {
            qint64 n = 0;
            if (!parseDecimal(trimBlanks(item), n)) {
                return fail(Error::BadContentLength);
            }
            if (contentLength_ >= 0 && n != contentLength_) {
                return fail(Error::ConflictingContentLength);
            }
            contentLength_ = n;
        }
    }
    const QList<QByteArray> codings = headerValues("Transfer-Encoding");
    if (!codings.isEmpty()) {
        const QByteArray last = trimBlanks(codings.back().split(',').back()).toByteArray();
        chunked_ = last.compare("chunked", Qt::CaseInsensitive) == 0;
        untilClose_ = !chunked_;
    }
    if (requestHasNoBody_ || status_ < 200 || status_ == 204 || status_ == 304) {
        state_ = State::Complete;
        return;
    }
    if (chunked_) {
        state_ = State::ChunkSize;
    } else if (untilClose_ || contentLength_ < 0) {
        untilClose_ = true;
        state_ = State::Body;
    } else if (contentLength_ > kMaxBody) {
        fail(Error::BodyTooLarge);
    } else {
        remaining_ = contentLength_;
        state_ = remaining_ == 0 ? State::Complete : State::Body;
    }
}

void HttpReplyParser::parseChunkSize(const QByteArray& line) {
    QByteArrayView v(line);
    const qsizetype ext = v.indexOf(';');
    if (ext >= 0) {
        v = v.first(ext);
    }
    v = trimBlanks(v);
    if (v.isEmpty()) {
        return fail(Error::BadChunkSize);
    }
    quint64 size = 0;
    for (char c : v) {
        const int digit = hexValue(c);
        if (digit < 0) {
            return fail(Error::BadChunkSize);
        }
        if (size > (quint64(1) << 58)) {
            return fail(Error::ChunkSizeOverflow);
        }
        size = size * 16 + static_cast<quint64>(digit);
    }
    if (size > (quint64(1) << 62)) {
        return fail(Error::ChunkSizeOverflow);
    }
    if (size > quint64(kMaxBody - bodySize_)) {
        return fail(Error::BodyTooLarge);
    }
    remaining_ = static_cast<qint64>(size);
    state_ = size == 0 ? State::Trailer : State::ChunkData;
}

bool HttpReplyParser::takeBody(QByteArrayView& in, qint64 count) {
    if (count > kMaxBody - bodySize_) {
        fail(Error::BodyTooLarge);
        in = {};
        return false;
    }
    body_.append(in.first(count));
    bodySize_ += count;
    in = in.sliced(count);
    return true;
}

HttpReplyParser::State HttpReplyParser::feed(QByteArrayView in) {
    QByteArray line;
    while (!in.isEmpty() && state_ != State::Complete && state_ != State::Failed) {
        switch (state_) {
        case State::StatusLine:
            if (takeLine(in, line)) {
                parseStatusLine(line);
            }
            break;
        case State::Headers:
            if (takeLine(in, line)) {
                parseHeaderLine(line);
            }
            break;
        case State::Body:
            if (untilClose_) {
                takeBody(in, in.size());
            } else {
                const qint64 n = std::min<qint64>(remaining_, in.size());
                if (takeBody(in, n)) {
                    remaining_ -= n;
                    if (remaining_ == 0) {
                        state_ = State::Complete;
                    }
                }
            }
            break;
        case State::ChunkSize:
            if (takeLine(in, line)) {
                parseChunkSize(line);
            }
            break;
        case State::ChunkData: {
            const qint64 n = std::min<qint64>(remaining_, in.size());
            if (takeBody(in, n)) {
                remaining_ -= n;
                if (remaining_ == 0) {
                    state_ = State::ChunkEnd;
                }
            }
            break;
        }
        case State::ChunkEnd:
            if (takeLine(in, line)) {
                if (!line.isEmpty()) {
                    fail(Error::BadChunkEnd);
                } else {
                    state_ = State::ChunkSize;
                }
            }
            break;
        case State::Trailer:
            if (takeLine(in, line)) {
                if (line.isEmpty()) {
                    state_ = State::Complete;
                } else if (++remaining_ > kMaxHeaderLines) {
                    fail(Error::TooManyHeaders);
                }
            }
            break;
        case State::Complete:
        case State::Failed:
            break;
        }
    }
    return state_;
}

HttpReplyParser::State HttpReplyParser::finishInput() {
    if (state_ == State::Body && untilClose_) {
        state_ = State::Complete;
    } else if (state_ != State::Complete && state_ != State::Failed) {
        fail(Error::IncompleteReply);
    }
    return state_;
}

QByteArrayView trimBlanks(QByteArrayView v) {
    while (!v.isEmpty() && (v.front() == ' ' || v.front() == '\t'))
        v = v.sliced(1);
    while (!v.isEmpty() && (v.back() == ' ' || v.back() == '\t'))
        v.chop(1);
    return v;
}

const char* httpReplyErrorText(HttpReplyParser::Error error) {
    using E = HttpReplyParser::Error;
    switch (error) {
    case E::None:
        return "no error";
    case E::MalformedStatusLine:
        return "malformed status line";
    case E::LineTooLong:
        return "reply line longer than 16384 characters";
    case E::MalformedHeader:
        return "malformed header line";
    case E::TooManyHeaders:
        return "too many header lines";
    case E::BadContentLength:
        return "invalid Content-Length";
    case E::ConflictingContentLength:
        return "conflicting Content-Length headers";
    case E::BadChunkSize:
        return "invalid chunk size";
    case E::ChunkSizeOverflow:
        return "chunk size too large";
    case E::BadChunkEnd:
        return "chunk not followed by a line end";
    case E::IncompleteReply:
        return "connection closed before the reply was complete";
    case E::TooManyInterimReplies:
        return "more than 8 interim replies";
    case E::BodyTooLarge:
        return "reply body larger than 1 MiB";
    }
    return "unknown error";
}

} // namespace hq
