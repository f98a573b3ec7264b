// Feeds arbitrary bytes to the HTTP reply parser, whole and split at a point taken from the first
// byte, and checks what a caller relies on: the limits hold (lines, interim replies, body size),
// a complete reply has a final status and its whole body, and the result does not depend on how
// the bytes arrive.
#include "fuzz_check.h"
#include "network/http_reply_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using hq::fuzz::check;

namespace {

using Parser = hq::HttpReplyParser;

void checkLimits(const Parser& p) {
    check(p.body().size() <= Parser::kMaxBody);
    check(p.bodySize() == p.body().size());
    check(p.interimReplies() <= Parser::kMaxInterimReplies);
    check(p.headers().size() <= Parser::kMaxHeaderLines);
    for (const auto& h : p.headers())
        check(!h.first.isEmpty() && h.first.size() + h.second.size() < Parser::kMaxLineLength);
    check(p.reasonPhrase().size() <= Parser::kMaxLineLength);
    if (p.isFailed())
        check(p.error() != Parser::Error::None);
    else
        check(p.error() == Parser::Error::None);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const auto* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype n = static_cast<qsizetype>(size - 1);
    const qsizetype split = n == 0 ? 0 : data[0] % (n + 1);
    const QByteArrayView all(bytes, n);

    Parser whole;
    whole.feed(all);
    checkLimits(whole);
    const bool completeBeforeEnd = whole.isComplete();
    whole.finishInput();
    checkLimits(whole);

    Parser pieces;
    pieces.feed(all.first(split));
    checkLimits(pieces);
    pieces.feed(all.sliced(split));
    pieces.finishInput();
    checkLimits(pieces);

    // The result does not depend on how the bytes arrive.
    check(whole.state() == pieces.state() && whole.error() == pieces.error() &&
          whole.statusCode() == pieces.statusCode() && whole.body() == pieces.body() &&
          whole.headers() == pieces.headers());
    // After the end of input the reply is either complete or failed, never pending.
    check(whole.isComplete() || whole.isFailed());
    if (whole.isComplete()) {
        // A complete reply reports its final status: three digits, never the skipped interim 100.
        check(whole.statusCode() >= 101 && whole.statusCode() <= 999);
        check(whole.headersComplete() && whole.finalHeadersSeen());
        check(whole.majorVersion() == 1);
        // A body framed by its length is all there, also before the connection ended (any
        // Transfer-Encoding frames the body instead: chunked, or up to the end of the
        // connection).
        if (whole.headerValues("Transfer-Encoding").isEmpty() && whole.contentLength() >= 0 &&
            whole.statusCode() >= 200 && whole.statusCode() != 204 && whole.statusCode() != 304) {
            check(whole.bodySize() == whole.contentLength());
            check(completeBeforeEnd);
        }
        if (whole.statusCode() < 200 || whole.statusCode() == 204 || whole.statusCode() == 304)
            check(whole.body().isEmpty());
    }
    if (whole.isFailed() && whole.error() == Parser::Error::BodyTooLarge)
        check(whole.finalHeadersSeen());
    return 0;
}
