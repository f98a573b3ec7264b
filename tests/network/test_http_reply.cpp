#include "network/http_reply_parser.h"

#include <QTest>

using Parser = hq::HttpReplyParser;
using State = Parser::State;
using Error = Parser::Error;

Q_DECLARE_METATYPE(Parser::Error)

namespace {

// Feeds the reply in one piece, or byte by byte, then ends the connection if asked.
Parser run(const QByteArray& reply, bool byteByByte, bool close) {
    Parser p;
    if (byteByByte) {
        for (char c : reply) {
            p.feed(QByteArrayView(&c, 1));
        }
    } else {
        p.feed(reply);
    }
    if (close) {
        p.finishInput();
    }
    return p;
}

} // namespace

class TestHttpReply : public QObject {
    Q_OBJECT
private slots:
    void replies_data();
    void replies();
    void interimAndHeaders();
    void lineLengthLimit();
    void bodyLimit_data();
    void bodyLimit();
    void interimReplies_data();
    void interimReplies();
    void trailingBytesIgnored();
};

void TestHttpReply::replies_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("close");  // the connection ends after the bytes
    QTest::addColumn<Error>("error"); // None: the reply must be complete
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    const QByteArray ok = "HTTP/1.0 200 OK\r\n";
    // Status lines.
    QTest::newRow("200 with length") << QByteArray(ok + "Content-Length: 5\r\n\r\nhello") << false
                                     << Error::None << 200 << QByteArray("hello");
    QTest::newRow("HTTP/1.1, LF only")
        << QByteArray("HTTP/1.1 201 Created\nContent-Length: 2\n\nab") << false << Error::None
        << 201 << QByteArray("ab");
    QTest::newRow("no reason phrase")
        << QByteArray("HTTP/1.1 204\r\n\r\n") << false << Error::None << 204 << QByteArray();
    QTest::newRow("204 has no body despite length")
        << QByteArray("HTTP/1.1 204 No Content\r\nContent-Length: 10\r\n\r\n") << false
        << Error::None << 204 << QByteArray();
    QTest::newRow("302 read with its body")
        << QByteArray("HTTP/1.0 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n") << false
        << Error::None << 302 << QByteArray();
    QTest::newRow("garbage") << QByteArray("hello\r\n") << false << Error::MalformedStatusLine << 0
                             << QByteArray();
    QTest::newRow("lower-case http") << QByteArray("http/1.0 200 OK\r\n") << false
                                     << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("HTTP/2") << QByteArray("HTTP/2.0 200 OK\r\n") << false
                            << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("two-digit status") << QByteArray("HTTP/1.0 20 OK\r\n") << false
                                      << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("four-digit status") << QByteArray("HTTP/1.0 2000 OK\r\n") << false
                                       << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("status below 100") << QByteArray("HTTP/1.0 099 Low\r\n") << false
                                      << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("no version digits") << QByteArray("HTTP/. 200 OK\r\n") << false
                                       << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("huge version") << QByteArray("HTTP/1.99999999999 200 OK\r\n") << false
                                  << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("empty status line")
        << QByteArray("\r\n") << false << Error::MalformedStatusLine << 0 << QByteArray();
    QTest::newRow("letters in status") << QByteArray("HTTP/1.0 2x0 OK\r\n") << false
                                       << Error::MalformedStatusLine << 0 << QByteArray();
    // Headers.
    QTest::newRow("folded header") << QByteArray(ok + "X-A: 1\r\n  continued\r\n\r\n") << false
                                   << Error::MalformedHeader << 200 << QByteArray();
    QTest::newRow("header without colon") << QByteArray(ok + "NoColon\r\n\r\n") << false
                                          << Error::MalformedHeader << 200 << QByteArray();
    QTest::newRow("blank in header name") << QByteArray(ok + "Bad Name: x\r\n\r\n") << false
                                          << Error::MalformedHeader << 200 << QByteArray();
    // Content-Length.
    QTest::newRow("conflicting lengths")
        << QByteArray(ok + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!") << false
        << Error::ConflictingContentLength << 200 << QByteArray();
    QTest::newRow("conflicting list")
        << QByteArray(ok + "Content-Length: 5, 6\r\n\r\nhello!") << false
        << Error::ConflictingContentLength << 200 << QByteArray();
    QTest::newRow("repeated equal lengths")
        << QByteArray(ok + "Content-Length: 2\r\ncontent-length: 2\r\n\r\nab") << false
        << Error::None << 200 << QByteArray("ab");
    QTest::newRow("negative length") << QByteArray(ok + "Content-Length: -1\r\n\r\n") << false
                                     << Error::BadContentLength << 200 << QByteArray();
    QTest::newRow("length overflow")
        << QByteArray(ok + "Content-Length: 99999999999999999999999\r\n\r\n") << false
        << Error::BadContentLength << 200 << QByteArray();
    QTest::newRow("length with text") << QByteArray(ok + "Content-Length: 12abc\r\n\r\n") << false
                                      << Error::BadContentLength << 200 << QByteArray();
    QTest::newRow("body shorter than length, closed")
        << QByteArray(ok + "Content-Length: 10\r\n\r\nabc") << true << Error::IncompleteReply << 200
        << QByteArray();
    // Until close.
    QTest::newRow("until close") << QByteArray(ok + "\r\nall of it") << true << Error::None << 200
                                 << QByteArray("all of it");
    QTest::newRow("closed inside headers")
        << QByteArray(ok + "Content-Le") << true << Error::IncompleteReply << 200 << QByteArray();
    QTest::newRow("closed before anything")
        << QByteArray() << true << Error::IncompleteReply << 0 << QByteArray();
    QTest::newRow("closed inside status line")
        << QByteArray("HTTP/1.0 2") << true << Error::IncompleteReply << 0 << QByteArray();
    // Chunked.
    const QByteArray ch = ok + "Transfer-Encoding: chunked\r\n\r\n";
    QTest::newRow("chunked") << QByteArray(ch + "5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\n")
                             << false << Error::None << 200 << QByteArray("hello world");
    QTest::newRow("chunked upper-case hex, trailer")
        << QByteArray(ch + "A\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n") << false << Error::None << 200
        << QByteArray("0123456789");
    QTest::newRow("chunked wins over length")
        << QByteArray(ok + "Content-Length: 3\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n"
                           "2\r\nab\r\n0\r\n\r\n")
        << false << Error::None << 200 << QByteArray("ab");
    QTest::newRow("chunk size overflow") << QByteArray(ch + "FFFFFFFFFFFFFFFFFFFF\r\n") << false
                                         << Error::ChunkSizeOverflow << 200 << QByteArray();
    QTest::newRow("chunk size 2^64 with leading zeros")
        << QByteArray(ch + "00000000010000000000000000\r\n") << false << Error::ChunkSizeOverflow
        << 200 << QByteArray();
    QTest::newRow("many leading zeros are fine")
        << QByteArray(ch + "0000000000000000000000003\r\nabc\r\n0\r\n\r\n") << false << Error::None
        << 200 << QByteArray("abc");
    QTest::newRow("negative chunk size")
        << QByteArray(ch + "-5\r\n") << false << Error::BadChunkSize << 200 << QByteArray();
    QTest::newRow("empty chunk size")
        << QByteArray(ch + "\r\n") << false << Error::BadChunkSize << 200 << QByteArray();
    QTest::newRow("chunk size with 0x")
        << QByteArray(ch + "0x5\r\n") << false << Error::BadChunkSize << 200 << QByteArray();
    QTest::newRow("chunk data too long")
        << QByteArray(ch + "2\r\nabc\r\n") << false << Error::BadChunkEnd << 200 << QByteArray();
    QTest::newRow("closed inside chunk")
        << QByteArray(ch + "5\r\nhe") << true << Error::IncompleteReply << 200 << QByteArray();
    QTest::newRow("closed before last chunk")
        << QByteArray(ch + "2\r\nab\r\n") << true << Error::IncompleteReply << 200 << QByteArray();
}

void TestHttpReply::replies() {
    QFETCH(QByteArray, reply);
    QFETCH(bool, close);
    QFETCH(Error, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    for (bool byteByByte : {false, true}) {
        const Parser p = run(reply, byteByByte, close);
        QCOMPARE(p.error(), error);
        if (error == Error::None) {
            QVERIFY(p.isComplete());
            QCOMPARE(p.body(), body);
            QCOMPARE(p.bodySize(), body.size());
        } else {
            QVERIFY(p.isFailed());
        }
        QCOMPARE(p.statusCode(), status);
    }
}

void TestHttpReply::interimAndHeaders() {
    Parser p;
    p.feed("HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
           "HTTP/1.1 100 Continue\r\n\r\n"
           "HTTP/1.0 200 OK\r\nSet-Cookie: a=1; Path=/\r\nset-cookie: b=2\r\n"
           "X-Blank:   padded value  \r\nContent-Length: 0\r\n\r\n");
    QVERIFY(p.isComplete());
    QCOMPARE(p.statusCode(), 200);
    QCOMPARE(p.reasonPhrase(), QByteArray("OK"));
    QCOMPARE(p.majorVersion(), 1);
    QCOMPARE(p.minorVersion(), 0);
    QVERIFY(p.headerValues("X-Interim").isEmpty());
    QCOMPARE(p.headerValues("SET-COOKIE"), (QList<QByteArray>{"a=1; Path=/", "b=2"}));
    QCOMPARE(p.headerValues("x-blank"), QList<QByteArray>{"padded value"});
    // Headers are known before the body has arrived.
    Parser partial;
    partial.feed("HTTP/1.0 500 Internal Server Error\r\nContent-Length: 100\r\n\r\nxx");
    QVERIFY(partial.headersComplete());
    QVERIFY(!partial.isComplete());
    QCOMPARE(partial.statusCode(), 500);
}

void TestHttpReply::lineLengthLimit() {
    const QByteArray prefix = "HTTP/1.0 200 OK\r\nX-Long: ";
    const qsizetype fill = Parser::kMaxLineLength - 8; // "X-Long: " is 8 characters
    for (bool byteByByte : {false, true}) {
        // Exactly 16384 characters is allowed, with CR LF or LF alone.
        Parser at = run(prefix + QByteArray(fill, 'a') + "\r\nContent-Length: 0\r\n\r\n",
                        byteByByte, false);
        QVERIFY(at.isComplete());
        QCOMPARE(at.headerValues("X-Long").first().size(), fill);
        // One more is rejected, also before the line end has arrived.
        Parser over = run(prefix + QByteArray(fill + 1, 'a') + "\r\n", byteByByte, false);
        QCOMPARE(over.error(), Error::LineTooLong);
        Parser endless = run(prefix + QByteArray(100000, 'a'), byteByByte, false);
        QCOMPARE(endless.error(), Error::LineTooLong);
    }
    // The status line and chunk-size lines have the same limit.
    QCOMPARE(run("HTTP/1.0 200 " + QByteArray(Parser::kMaxLineLength, 'R') + "\r\n", false, false)
                 .error(),
             Error::LineTooLong);
    QCOMPARE(run("HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
                     QByteArray(Parser::kMaxLineLength, 'e') + "\r\n",
                 false, false)
                 .error(),
             Error::LineTooLong);
}

void TestHttpReply::bodyLimit_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("bodySize");
    QTest::addColumn<bool>("close");
    QTest::addColumn<bool>("complete");
    const qint64 cap = Parser::kMaxBody;
    const auto length = [](qint64 n) {
        return "HTTP/1.0 200 OK\r\nContent-Length: " + QByteArray::number(n) + "\r\n\r\n";
    };
    QTest::newRow("length at the cap") << length(cap) << cap << false << true;
    QTest::newRow("length above the cap") << length(cap + 1) << qint64(0) << false << false;
    QTest::newRow("until close at the cap")
        << QByteArray("HTTP/1.0 200 OK\r\n\r\n") << cap << true << true;
    QTest::newRow("until close, one byte more")
        << QByteArray("HTTP/1.0 200 OK\r\n\r\n") << cap + 1 << true << false;
    QTest::newRow("endless body") << QByteArray("HTTP/1.0 200 OK\r\n\r\n") << 3 * cap << false
                                  << false;
}

void TestHttpReply::bodyLimit() {
    QFETCH(QByteArray, head);
    QFETCH(qint64, bodySize);
    QFETCH(bool, close);
    QFETCH(bool, complete);
    Parser p;
    p.feed(head);
    // The body arrives in pieces, as from a socket.
    for (qint64 sent = 0; sent < bodySize && !p.isFailed();) {
        const qint64 n = std::min<qint64>(65536, bodySize - sent);
        p.feed(QByteArray(n, 'z'));
        sent += n;
    }
    if (close)
        p.finishInput();
    QCOMPARE(p.isComplete(), complete);
    QVERIFY(p.body().size() <= Parser::kMaxBody);
    if (complete) {
        QCOMPARE(p.bodySize(), bodySize);
    } else {
        QCOMPARE(p.error(), Error::BodyTooLarge);
        QVERIFY(p.finalHeadersSeen());
        QCOMPARE(p.statusCode(), 200);
    }
    // A chunked body is held to the same cap, also by a single chunk's announced size.
    Parser chunked;
    chunked.feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                 QByteArray::number(Parser::kMaxBody + 1, 16) + "\r\n");
    QCOMPARE(chunked.error(), Error::BodyTooLarge);
    Parser twoChunks;
    twoChunks.feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                   QByteArray::number(Parser::kMaxBody, 16) + "\r\n" +
                   QByteArray(Parser::kMaxBody, 'y') + "\r\n1\r\n");
    QCOMPARE(twoChunks.error(), Error::BodyTooLarge);
}

void TestHttpReply::interimReplies_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Error>("error");
    QTest::addColumn<int>("status");
    const QByteArray cont = "HTTP/1.1 100 Continue\r\n\r\n";
    const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    QTest::newRow("eight 100 Continue, then 200") << cont.repeated(8) + ok << Error::None << 200;
    QTest::newRow("nine 100 Continue")
        << cont.repeated(9) + ok << Error::TooManyInterimReplies << 100;
    // Only 100 is interim: any other 1xx is the final reply, without a body.
    QTest::newRow("101 is final")
        << QByteArray("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nrest") << Error::None
        << 101;
    QTest::newRow("102 is final") << QByteArray("HTTP/1.1 102 Processing\r\n\r\n") + ok
                                  << Error::None << 102;
    QTest::newRow("103 after 100 is final")
        << cont + "HTTP/1.1 103 Early Hints\r\n\r\n" + ok << Error::None << 103;
}

void TestHttpReply::interimReplies() {
    QFETCH(QByteArray, reply);
    QFETCH(Error, error);
    QFETCH(int, status);
    for (bool byteByByte : {false, true}) {
        const Parser p = run(reply, byteByByte, false);
        QCOMPARE(p.error(), error);
        QCOMPARE(p.statusCode(), status);
        if (error == Error::None) {
            QVERIFY(p.isComplete());
            QVERIFY(p.body().isEmpty());
        }
        QVERIFY(p.interimReplies() <= Parser::kMaxInterimReplies);
    }
}

void TestHttpReply::trailingBytesIgnored() {
    Parser p;
    p.feed("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nabEXTRA");
    QVERIFY(p.isComplete());
    QCOMPARE(p.body(), QByteArray("ab"));
    p.finishInput();
    QVERIFY(p.isComplete());
}

QTEST_GUILESS_MAIN(TestHttpReply)
#include "test_http_reply.moc"
