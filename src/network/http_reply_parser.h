#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

namespace hq {

// Incremental reader of an HTTP/1.x reply, free of sockets: feed it the bytes as they arrive and
// tell it when the connection has ended. Interim "100 Continue" replies are skipped (at most
// kMaxInterimReplies of them); any other status is the final reply. The body is framed by
// Transfer-Encoding: chunked, else Content-Length, else the end of the connection; 1xx, 204 and
// 304 replies (and replies to HEAD) have none. A body above kMaxBody bytes fails the reply.
class HttpReplyParser {
public:
    static constexpr qsizetype kMaxLineLength = 16384; // characters, line end not counted
    static constexpr qsizetype kMaxHeaderLines = 1000;
    static constexpr qsizetype kMaxBody = 1024 * 1024; // body bytes; one more fails the reply
    static constexpr int kMaxInterimReplies = 8;       // "100 Continue" replies before the final

    enum class State {
        StatusLine,
        Headers,
        Body,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer,
        Complete,
        Failed
    };
    enum class Error {
        None,
        MalformedStatusLine,
        LineTooLong,
        MalformedHeader,
        TooManyHeaders,
        BadContentLength,
        ConflictingContentLength,
        BadChunkSize,
        ChunkSizeOverflow,
        BadChunkEnd,
        IncompleteReply, // the connection ended before the reply was complete
        TooManyInterimReplies,
        BodyTooLarge,
    };

    void setNoBody(bool noBody) { m_requestHasNoBody = noBody; } // a reply to HEAD

    // Consumes bytes; returns the state after them. Bytes after a complete reply are ignored.
    State Feed(QByteArrayView bytes);
    // The connection has ended: completes a body read up to the end, fails everything else that
    // is not yet complete.
    State FinishInput();

    State state() const { return m_state; }
    Error error() const { return m_error; }
    bool isComplete() const { return m_state == State::Complete; }
    bool isFailed() const { return m_state == State::Failed; }
    // True once the final status line and its headers have been read.
    bool headersComplete() const;
    // True once the final status line and its headers had been read, also when the reply failed
    // afterwards (in its body).
    bool finalHeadersSeen() const { return m_finalHeadersSeen; }
    int interimReplies() const { return m_interimReplies; }

    int majorVersion() const { return m_major; }
    int minorVersion() const { return m_minor; }
    int statusCode() const { return m_status; }
    const QByteArray& reasonPhrase() const { return m_reason; }
    // Header fields of the final reply in order, names as sent, values with blanks trimmed.
    const QList<QPair<QByteArray, QByteArray>>& headers() const { return m_headers; }
    // All values of a header (name without regard to case).
    QList<QByteArray> headerValues(QByteArrayView name) const;
    const QByteArray& body() const { return m_body; }
    qint64 bodySize() const { return m_bodySize; }
    bool isChunked() const { return m_chunked; }
    qint64 contentLength() const { return m_contentLength; } // -1 when not given

private:
    bool TakeLine(QByteArrayView& in, QByteArray& line);
    void Fail(Error e);
    void ParseStatusLine(const QByteArray& line);
    void ParseHeaderLine(const QByteArray& line);
    void EndOfHeaders();
    void ParseChunkSize(const QByteArray& line);
    bool TakeBody(QByteArrayView& in, qint64 count);

    State m_state = State::StatusLine;
    Error m_error = Error::None;
    QByteArray m_lineBuffer;
    bool m_requestHasNoBody = false;
    int m_major = 0;
    int m_minor = 0;
    int m_status = 0;
    QByteArray m_reason;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    qint64 m_contentLength = -1;
    bool m_chunked = false;
    bool m_untilClose = false;
    qint64 m_remaining = 0; // of the body or of the current chunk
    QByteArray m_body;
    qint64 m_bodySize = 0;
    int m_interimReplies = 0;
    bool m_finalHeadersSeen = false;
};

const char* HttpReplyErrorText(HttpReplyParser::Error error);

// Header text without the blanks and tabs around it (HTTP's optional white space).
QByteArrayView TrimBlanks(QByteArrayView v);

} // namespace hq
