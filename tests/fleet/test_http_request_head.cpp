// The request head of the metrics page: read the same in whatever pieces it arrives, at most
// 8192 bytes, malformed heads refused; and the answer each request gets.
#include "fleet/http_request_head.h"

#include <QTest>

#include <string>
#include <string_view>

using hq::fleet::kMaxRequestHead;
using hq::fleet::RequestHeadParser;
using hq::fleet::responseFor;
using State = RequestHeadParser::State;
using namespace std::string_view_literals;
Q_DECLARE_METATYPE(RequestHeadParser::State)

namespace {

QByteArray bytes(std::string_view s) {
    return QByteArray(s.data(), qsizetype(s.size()));
}

std::string_view viewOf(const QByteArray& b) {
    return {b.constData(), std::size_t(b.size())};
}

// A GET /metrics head of exactly size bytes (at least 40), padded in one header.
QByteArray headOfSize(qsizetype size) {
    const QByteArray start = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: ";
    const QByteArray end = "\r\n\r\n";
    return start + QByteArray(size - start.size() - end.size(), 'a') + end;
}

QByteArray headerValue(const QByteArray& head, const QByteArray& name) {
    for (const QByteArray& line : head.split('\n'))
        if (line.startsWith(name + ": "))
            return line.mid(name.size() + 2).trimmed();
    return {};
}

} // namespace

class TestHttpRequestHead : public QObject {
    Q_OBJECT
private slots:
    void headIsReadTheSameInAnyPieces_data();
    void headIsReadTheSameInAnyPieces();
    void headMayHaveAtMost8192Bytes_data();
    void headMayHaveAtMost8192Bytes();
    void bytesAfterTheHeadAreNotTaken();
    void answerFollowsMethodAndPath_data();
    void answerFollowsMethodAndPath();
};

void TestHttpRequestHead::headIsReadTheSameInAnyPieces_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<State>("state");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("version");

    const auto complete = [](const char* name, std::string_view request, const char* method,
                             const char* path, const char* version = "HTTP/1.1") {
        QTest::newRow(name) << bytes(request) << State::Complete << QByteArray(method)
                            << QByteArray(path) << QByteArray(version);
    };
    const auto refused = [](const char* name, std::string_view request,
                            State state = State::Malformed) {
        QTest::newRow(name) << bytes(request) << state << QByteArray() << QByteArray()
                            << QByteArray();
    };
    complete("lines end with CRLF",
             "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9100\r\nAccept: */*\r\n\r\n"sv, "GET",
             "/metrics");
    complete("lines end with a bare LF", "GET /metrics HTTP/1.1\nHost: x\n\n"sv, "GET", "/metrics");
    complete("line ends mixed", "GET /metrics HTTP/1.1\r\nHost: x\n\r\n"sv, "GET", "/metrics");
    complete("the query is not part of the path",
             "GET /metrics?name[]=a&b=%20 HTTP/1.1\r\nHost: x\r\n\r\n"sv, "GET", "/metrics");
    complete("an empty query", "GET /metrics? HTTP/1.0\r\n\r\n"sv, "GET", "/metrics", "HTTP/1.0");
    complete("the absolute form",
             "GET http://127.0.0.1:9100/metrics?x HTTP/1.1\r\nHost: 127.0.0.1:9100\r\n\r\n"sv,
             "GET", "/metrics");
    complete("the absolute form without a path", "GET HTTP://h:1?x HTTP/1.1\r\nHost: h\r\n\r\n"sv,
             "GET", "/");
    complete("HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n"sv, "GET", "/", "HTTP/1.0");
    complete("an empty line before the request line is skipped",
             "\r\nGET /metrics HTTP/1.1\r\nhost: x\r\n\r\n"sv, "GET", "/metrics");
    complete("another method", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\n"sv,
             "POST", "/metrics");
    complete("methods are case-sensitive", "get /metrics HTTP/1.1\r\nHost: x\r\n\r\n"sv, "get",
             "/metrics");
    complete("header values may hold any text",
             "GET /a HTTP/1.1\r\nHost: x\r\nX: \t\xC3\xA4 \"q\"\r\n\r\n"sv, "GET", "/a");
    refused("nothing yet", ""sv, State::NeedMore);
    refused("half a request line", "GET /metr"sv, State::NeedMore);
    refused("no empty line yet", "GET /metrics HTTP/1.1\r\nHost: x\r\n"sv, State::NeedMore);
    refused("HTTP/1.1 without Host", "GET /metrics HTTP/1.1\r\n\r\n"sv);
    refused("two Host headers", "GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n"sv);
    refused("two spaces", "GET  /metrics HTTP/1.1\r\nHost: x\r\n\r\n"sv);
    refused("no method", " /metrics HTTP/1.1\r\nHost: x\r\n\r\n"sv);
    refused("no version", "GET /metrics\r\nHost: x\r\n\r\n"sv);
    refused("HTTP/2", "GET /metrics HTTP/2.0\r\nHost: x\r\n\r\n"sv);
    refused("version in lower case", "GET /metrics http/1.1\r\nHost: x\r\n\r\n"sv);
    refused("a target without a slash", "GET metrics HTTP/1.1\r\nHost: x\r\n\r\n"sv);
    refused("the asterisk form", "OPTIONS * HTTP/1.1\r\nHost: x\r\n\r\n"sv);
    refused("a control character in the target", "GET /me\x01trics HTTP/1.1\r\nHost: x\r\n\r\n"sv);
    refused("a header without a colon", "GET /metrics HTTP/1.1\r\nHost x\r\n\r\n"sv);
    refused("space before the colon", "GET /metrics HTTP/1.1\r\nHost : x\r\n\r\n"sv);
    refused("a folded header line", "GET /metrics HTTP/1.1\r\nHost: x\r\nX-A: 1\r\n 2\r\n\r\n"sv);
    refused("NUL in a header value", "GET /metrics HTTP/1.1\r\nHost: x\r\nX: a\0b\r\n\r\n"sv);
    refused("CR without LF", "GET /metrics HTTP/1.1\rHost: x\r\n\r\n"sv);
    refused("a TLS hello", "\x16\x03\x01\x02\x00\x01\x00\x01\xFC\x03\x03\n"sv);
}

void TestHttpRequestHead::headIsReadTheSameInAnyPieces() {
    QFETCH(QByteArray, request);
    QFETCH(State, state);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, version);
    const std::string_view all = viewOf(request);

    RequestHeadParser whole;
    QCOMPARE(whole.feed(all), state);
    if (state == State::Complete) {
        QCOMPARE(QByteArray::fromStdString(whole.head().method), method);
        QCOMPARE(QByteArray::fromStdString(whole.head().path), path);
        QCOMPARE(QByteArray::fromStdString(whole.head().version), version);
        QCOMPARE(whole.consumed(), all.size());
    }
    // Two pieces, split at every byte, and one byte at a time.
    for (std::size_t split = 0; split <= all.size(); ++split) {
        RequestHeadParser p;
        p.feed(all.substr(0, split));
        p.feed(all.substr(split));
        QCOMPARE(p.state(), state);
        QCOMPARE(p.consumed(), whole.consumed());
        if (state == State::Complete) {
            QCOMPARE(p.head().method, whole.head().method);
            QCOMPARE(p.head().path, whole.head().path);
            QCOMPARE(p.head().version, whole.head().version);
        }
    }
    RequestHeadParser bytewise;
    for (const char c : all)
        bytewise.feed(std::string_view(&c, 1));
    QCOMPARE(bytewise.state(), state);
    if (state == State::Complete)
        QCOMPARE(bytewise.head().path, whole.head().path);
}

void TestHttpRequestHead::headMayHaveAtMost8192Bytes_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<State>("state");
    QTest::addColumn<qsizetype>("consumed");
    QTest::newRow("8191 bytes") << headOfSize(8191) << State::Complete << qsizetype(8191);
    QTest::newRow("8192 bytes") << headOfSize(8192) << State::Complete << qsizetype(8192);
    QTest::newRow("8193 bytes") << headOfSize(8193) << State::TooLarge << qsizetype(8192);
    QTest::newRow("8192 bytes with LF line ends")
        << QByteArray(headOfSize(8196)).replace("\r\n", "\n") << State::Complete << qsizetype(8192);
    QTest::newRow("a request line of 8192 bytes, unfinished")
        << "GET /" + QByteArray(8187, 'a') << State::NeedMore << qsizetype(8192);
    QTest::newRow("a request line of 8193 bytes")
        << "GET /" + QByteArray(8188, 'a') << State::TooLarge << qsizetype(8192);
    QTest::newRow("empty lines only")
        << QByteArray(9000, '\n') << State::TooLarge << qsizetype(8192);
}

void TestHttpRequestHead::headMayHaveAtMost8192Bytes() {
    QFETCH(QByteArray, request);
    QFETCH(State, state);
    QFETCH(qsizetype, consumed);
    RequestHeadParser whole;
    QCOMPARE(whole.feed(viewOf(request)), state);
    QCOMPARE(qsizetype(whole.consumed()), consumed);
    RequestHeadParser bytewise;
    for (const char c : request)
        bytewise.feed(std::string_view(&c, 1));
    QCOMPARE(bytewise.state(), state);
    QCOMPARE(qsizetype(bytewise.consumed()), consumed);
    // Nothing more changes a head that is too large.
    if (state == State::TooLarge) {
        QCOMPARE(whole.feed("\r\n\r\n"), State::TooLarge);
        QCOMPARE(qsizetype(whole.consumed()), consumed);
    }
    QVERIFY(whole.consumed() <= kMaxRequestHead);
}

void TestHttpRequestHead::bytesAfterTheHeadAreNotTaken() {
    const QByteArray head = headOfSize(8192);
    RequestHeadParser p;
    QCOMPARE(p.feed(viewOf(head + "BODY")), State::Complete);
    QCOMPARE(p.consumed(), kMaxRequestHead);
    QCOMPARE(p.feed("GET /other HTTP/1.0\r\n\r\n"), State::Complete);
    QCOMPARE(p.head().path, std::string("/metrics"));
}

void TestHttpRequestHead::answerFollowsMethodAndPath_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    const QByteArray host = " HTTP/1.1\r\nHost: x\r\n\r\n";
    QTest::newRow("GET /metrics") << "GET /metrics" + host << 200;
    QTest::newRow("GET /metrics with a query") << "GET /metrics?debug=1" + host << 200;
    QTest::newRow("GET /metrics over HTTP/1.0") << QByteArray("GET /metrics HTTP/1.0\n\n") << 200;
    QTest::newRow("HEAD /metrics") << "HEAD /metrics" + host << 405;
    QTest::newRow("POST /metrics") << "POST /metrics" + host << 405;
    QTest::newRow("get /metrics") << "get /metrics" + host << 405;
    QTest::newRow("GET /") << "GET /" + host << 404;
    QTest::newRow("GET /metrics/") << "GET /metrics/" + host << 404;
    QTest::newRow("GET /Metrics") << "GET /Metrics" + host << 404;
    QTest::newRow("percent-encoded path") << "GET /%6Detrics" + host << 404;
    QTest::newRow("DELETE /other") << "DELETE /other" + host << 404;
    QTest::newRow("malformed") << "GET /metrics HTTP/9" + host << 400;
    QTest::newRow("unfinished") << QByteArray("GET /metrics HTTP/1.1\r\n") << 400;
    QTest::newRow("too large") << headOfSize(9000) << 400;
}

void TestHttpRequestHead::answerFollowsMethodAndPath() {
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    RequestHeadParser p;
    p.feed(viewOf(request));
    int pagesMade = 0;
    const std::string page = "hq3746_up{serial=\"1\"} 1\n";
    const auto response = responseFor(p, [&] {
        ++pagesMade;
        return page;
    });
    QCOMPARE(response.status, status);
    QCOMPARE(pagesMade, status == 200 ? 1 : 0);

    const QByteArray text = QByteArray::fromStdString(response.text);
    const qsizetype headEnd = text.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    const QByteArray head = text.left(headEnd + 2);
    const QByteArray body = text.mid(headEnd + 4);
    QVERIFY(head.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '));
    QCOMPARE(headerValue(head, "Content-Length"), QByteArray::number(body.size()));
    QCOMPARE(headerValue(head, "Connection"), QByteArray("close"));
    QCOMPARE(headerValue(head, "Allow"), status == 405 ? QByteArray("GET") : QByteArray());
    if (status == 200) {
        QCOMPARE(headerValue(head, "Content-Type"),
                 QByteArray("text/plain; version=0.0.4; charset=utf-8"));
        QCOMPARE(body, QByteArray::fromStdString(page));
    } else {
        QVERIFY(!body.contains("hq3746"));
    }
}

QTEST_GUILESS_MAIN(TestHttpRequestHead)
#include "test_http_request_head.moc"
