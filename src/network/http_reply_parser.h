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

    void setNoBody(bool noBody) { requestHasNoBody_ = noBody; } // a reply to HEAD

    // Consumes bytes; returns the state after them. Bytes after a complete reply are ignored.
    State feed(QByteArrayView bytes);
    // The connection has ended: completes a body read up to the end, fails everything else that
    // is not yet complete.
    State finishInput();

    State state() const { return state_; }
    Error error() const { return error_; }
    bool isComplete() const { return state_ == State::Complete; }
    bool isFailed() const { return state_ == State::Failed; }
    // True once the final status line and its headers have been read.
    bool headersComplete() const;
    // True once the final status line and its headers had been read, also when the reply failed
    // afterwards (in its body).
    bool finalHeadersSeen() const { return finalHeadersSeen_; }
    int interimReplies() const { return interimReplies_; }

    int majorVersion() const { return major_; }
    int minorVersion() const { return minor_; }
    int statusCode() const { return status_; }
    const QByteArray& reasonPhrase() const { return reason_; }
    // Header fields of the final reply in order, names as sent, values with blanks trimmed.
    const QList<QPair<QByteArray, QByteArray>>& headers() const { return headers_; }
    // All values of a header (name without regard to case).
    QList<QByteArray> headerValues(QByteArrayView name) const;
    const QByteArray& body() const { return body_; }
    qint64 bodySize() const { return bodySize_; }
    bool isChunked() const { return chunked_; }
    qint64 contentLength() const { return contentLength_; } // -1 when not given

private:
    bool takeLine(QByteArrayView& in, QByteArray& line);
    void fail(Error e);
    void parseStatusLine(const QByteArray& line);
    void parseHeaderLine(const QByteArray& line);
    void endOfHeaders();
    void parseChunkSize(const QByteArray& line);
    bool takeBody(QByteArrayView& in, qint64 count);

    State state_ = State::StatusLine;
    Error error_ = Error::None;
    QByteArray lineBuffer_;
    bool requestHasNoBody_ = false;
    int major_ = 0;
    int minor_ = 0;
    int status_ = 0;
    QByteArray reason_;
    QList<QPair<QByteArray, QByteArray>> headers_;
    qint64 contentLength_ = -1;
    bool chunked_ = false;
    bool untilClose_ = false;
    qint64 remaining_ = 0; // of the body or of the current chunk
    QByteArray body_;
    qint64 bodySize_ = 0;
    int interimReplies_ = 0;
    bool finalHeadersSeen_ = false;
};

const char* httpReplyErrorText(HttpReplyParser::Error error);

// Header text without the blanks and tabs around it (HTTP's optional white space).
QByteArrayView trimBlanks(QByteArrayView v);

} // namespace hq
