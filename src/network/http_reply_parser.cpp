#include "network/http_reply_parser.h"

#include <algorithm>

namespace hq {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
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

bool IsTokenChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) {
        return false;
    }
    return QByteArrayView("()<>@,;:\\\"/[]?={}").indexOf(c) < 0;
}

// Parses a run of decimal digits; false on anything else or more than 18 digits.
bool ParseDecimal(QByteArrayView v, qint64& out) {
    if (v.isEmpty() || v.size() > 18) {
        return false;
    }
    qint64 value = 0;
    for (char c : v) {
        if (!IsDigit(c)) {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

} // namespace

bool HttpReplyParser::headersComplete() const {
    switch (m_state) {
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
    for (const auto& h : m_headers) {
        if (QByteArrayView(h.first).compare(name, Qt::CaseInsensitive) == 0) {
            values.append(h.second);
        }
    }
    return values;
}

void HttpReplyParser::Fail(Error e) {
    m_state = State::Failed;
    m_error = e;
    m_lineBuffer.clear();
}

bool HttpReplyParser::TakeLine(QByteArrayView& in, QByteArray& line) {
    const qsizetype lf = in.indexOf('\n');
    const QByteArrayView piece = lf < 0 ? in : in.first(lf);
    // A line may end in CR LF, so one more byte than the limit can be pending without an LF.
    if (m_lineBuffer.size() + piece.size() > kMaxLineLength + 1) {
        Fail(Error::LineTooLong);
        in = {};
        return false;
    }
    m_lineBuffer.append(piece);
    if (lf < 0) {
        in = {};
        return false;
    }
    in = in.sliced(lf + 1);
    line = std::move(m_lineBuffer);
    m_lineBuffer = QByteArray();
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (line.size() > kMaxLineLength) {
        Fail(Error::LineTooLong);
        return false;
    }
    return true;
}

void HttpReplyParser::ParseStatusLine(const QByteArray& line) {
    // HTTP/<major>.<minor> SP <3 digits> [SP reason]
    const QByteArrayView v(line);
    if (!v.startsWith("HTTP/")) {
        return Fail(Error::MalformedStatusLine);
    }
    qsizetype i = 5;
    auto number = [&](int& out) {
        const qsizetype start = i;
        int value = 0;
        while (i < v.size() && IsDigit(v[i]) && i - start < 3) {
            value = value * 10 + (v[i] - '0');
            ++i;
        }
        out = value;
        return i > start && (i >= v.size() || !IsDigit(v[i]));
    };
    int major = 0;
    int minor = 0;
    if (!number(major) || i >= v.size() || v[i] != '.') {
        return Fail(Error::MalformedStatusLine);
    }
    ++i;
    if (!number(minor) || major != 1) {
        return Fail(Error::MalformedStatusLine);
    }
    if (i + 4 > v.size() || v[i] != ' ' || !IsDigit(v[i + 1]) || !IsDigit(v[i + 2]) ||
        !IsDigit(v[i + 3])) {
        return Fail(Error::MalformedStatusLine);
    }
    const int status = (v[i + 1] - '0') * 100 + (v[i + 2] - '0') * 10 + (v[i + 3] - '0');
    i += 4;
    if (status < 100 || (i < v.size() && v[i] != ' ')) {
        return Fail(Error::MalformedStatusLine);
    }
    m_major = major;
    m_minor = minor;
    m_status = status;
    m_reason = i < v.size() ? v.sliced(i + 1).toByteArray() : QByteArray();
    m_headers.clear();
    m_state = State::Headers;
}

void HttpReplyParser::ParseHeaderLine(const QByteArray& line) {
    if (line.isEmpty()) {
        return EndOfHeaders();
    }
    if (m_headers.size() >= kMaxHeaderLines) {
        return Fail(Error::TooManyHeaders);
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) {
        return Fail(Error::MalformedHeader);
    }
    const QByteArrayView name = QByteArrayView(line).first(colon);
    if (!std::all_of(name.begin(), name.end(), IsTokenChar)) {
        return Fail(Error::MalformedHeader); // also catches folded continuation lines
    }
    m_headers.append(
        {name.toByteArray(), TrimBlanks(QByteArrayView(line).sliced(colon + 1)).toByteArray()});
}

void HttpReplyParser::EndOfHeaders() {
    if (m_status == 100) {
        // "100 Continue" is the only interim reply skipped; a server cannot keep the reply open
        // with an endless row of them.
        if (m_interimReplies >= kMaxInterimReplies) {
            return Fail(Error::TooManyInterimReplies);
        }
        ++m_interimReplies;
        m_headers.clear();
        m_state = State::StatusLine;
        return;
    }
    m_finalHeadersSeen = true;
    // Every Content-Length value (also comma-separated lists) must be the same number.
    m_contentLength = -1;
    for (const QByteArray& value : headerValues("Content-Length")) {
        for (const QByteArray& item : value.split(',')) {
            qint64 n = 0;
            if (!ParseDecimal(TrimBlanks(item), n)) {
                return Fail(Error::BadContentLength);
            }
            if (m_contentLength >= 0 && n != m_contentLength) {
                return Fail(Error::ConflictingContentLength);
            }
            m_contentLength = n;
        }
    }
    const QList<QByteArray> codings = headerValues("Transfer-Encoding");
    if (!codings.isEmpty()) {
        const QByteArray last = TrimBlanks(codings.back().split(',').back()).toByteArray();
        m_chunked = last.compare("chunked", Qt::CaseInsensitive) == 0;
        m_untilClose = !m_chunked;
    }
    if (m_requestHasNoBody || m_status < 200 || m_status == 204 || m_status == 304) {
        m_state = State::Complete;
        return;
    }
    if (m_chunked) {
        m_state = State::ChunkSize;
    } else if (m_untilClose || m_contentLength < 0) {
        m_untilClose = true;
        m_state = State::Body;
    } else if (m_contentLength > kMaxBody) {
        Fail(Error::BodyTooLarge);
    } else {
        m_remaining = m_contentLength;
        m_state = m_remaining == 0 ? State::Complete : State::Body;
    }
}

void HttpReplyParser::ParseChunkSize(const QByteArray& line) {
    QByteArrayView v(line);
    const qsizetype ext = v.indexOf(';');
    if (ext >= 0) {
        v = v.first(ext);
    }
    v = TrimBlanks(v);
    if (v.isEmpty()) {
        return Fail(Error::BadChunkSize);
    }
    quint64 size = 0;
    for (char c : v) {
        const int digit = HexValue(c);
        if (digit < 0) {
            return Fail(Error::BadChunkSize);
        }
        if (size > (quint64(1) << 58)) {
            return Fail(Error::ChunkSizeOverflow);
        }
        size = size * 16 + static_cast<quint64>(digit);
    }
    if (size > (quint64(1) << 62)) {
        return Fail(Error::ChunkSizeOverflow);
    }
    if (size > quint64(kMaxBody - m_bodySize)) {
        return Fail(Error::BodyTooLarge);
    }
    m_remaining = static_cast<qint64>(size);
    m_state = size == 0 ? State::Trailer : State::ChunkData;
}

bool HttpReplyParser::TakeBody(QByteArrayView& in, qint64 count) {
    if (count > kMaxBody - m_bodySize) {
        Fail(Error::BodyTooLarge);
        in = {};
        return false;
    }
    m_body.append(in.first(count));
    m_bodySize += count;
    in = in.sliced(count);
    return true;
}

HttpReplyParser::State HttpReplyParser::Feed(QByteArrayView in) {
    QByteArray line;
    while (!in.isEmpty() && m_state != State::Complete && m_state != State::Failed) {
        switch (m_state) {
        case State::StatusLine:
            if (TakeLine(in, line)) {
                ParseStatusLine(line);
            }
            break;
        case State::Headers:
            if (TakeLine(in, line)) {
                ParseHeaderLine(line);
            }
            break;
        case State::Body:
            if (m_untilClose) {
                TakeBody(in, in.size());
            } else {
                const qint64 n = std::min<qint64>(m_remaining, in.size());
                if (TakeBody(in, n)) {
                    m_remaining -= n;
                    if (m_remaining == 0) {
                        m_state = State::Complete;
                    }
                }
            }
            break;
        case State::ChunkSize:
            if (TakeLine(in, line)) {
                ParseChunkSize(line);
            }
            break;
        case State::ChunkData: {
            const qint64 n = std::min<qint64>(m_remaining, in.size());
            if (TakeBody(in, n)) {
                m_remaining -= n;
                if (m_remaining == 0) {
                    m_state = State::ChunkEnd;
                }
            }
            break;
        }
        case State::ChunkEnd:
            if (TakeLine(in, line)) {
                if (!line.isEmpty()) {
                    Fail(Error::BadChunkEnd);
                } else {
                    m_state = State::ChunkSize;
                }
            }
            break;
        case State::Trailer:
            if (TakeLine(in, line)) {
                if (line.isEmpty()) {
                    m_state = State::Complete;
                } else if (++m_remaining > kMaxHeaderLines) {
                    Fail(Error::TooManyHeaders);
                }
            }
            break;
        case State::Complete:
        case State::Failed:
            break;
        }
    }
    return m_state;
}

HttpReplyParser::State HttpReplyParser::FinishInput() {
    if (m_state == State::Body && m_untilClose) {
        m_state = State::Complete;
    } else if (m_state != State::Complete && m_state != State::Failed) {
        Fail(Error::IncompleteReply);
    }
    return m_state;
}

QByteArrayView TrimBlanks(QByteArrayView v) {
    while (!v.isEmpty() && (v.front() == ' ' || v.front() == '\t'))
        v = v.sliced(1);
    while (!v.isEmpty() && (v.back() == ' ' || v.back() == '\t'))
        v.chop(1);
    return v;
}

const char* HttpReplyErrorText(HttpReplyParser::Error error) {
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
