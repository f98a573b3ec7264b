// Feeds arbitrary bytes to the HTTP reply parser, split at a point taken from the first byte, and
// checks the invariants a caller relies on.
#include "network/http_reply_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const char*>(data + 1);
    const qsizetype n = static_cast<qsizetype>(size - 1);
    const qsizetype split = n == 0 ? 0 : data[0] % (n + 1);

    hq::HttpReplyParser whole;
    whole.Feed(QByteArrayView(bytes, n));
    whole.FinishInput();

    hq::HttpReplyParser pieces;
    pieces.Feed(QByteArrayView(bytes, split));
    pieces.Feed(QByteArrayView(bytes + split, n - split));
    pieces.FinishInput();

    // The result does not depend on how the bytes arrive.
    if (whole.state() != pieces.state() || whole.error() != pieces.error() ||
        whole.statusCode() != pieces.statusCode() || whole.body() != pieces.body()) {
        std::abort();
    }
    // After the end of input the reply is either complete or failed, never pending.
    if (!whole.isComplete() && !whole.isFailed()) {
        std::abort();
    }
    if (whole.isComplete() && (whole.statusCode() < 200 && whole.statusCode() != 0)) {
        std::abort(); // interim replies are never the outcome
    }
    if (whole.body().size() > hq::HttpReplyParser::kMaxKeptBody || whole.bodySize() < 0 ||
        whole.body().size() > whole.bodySize()) {
        std::abort();
    }
    for (const auto& h : whole.headers()) {
        if (h.first.isEmpty() || h.second.size() > hq::HttpReplyParser::kMaxLineLength) {
            std::abort();
        }
    }
    return 0;
}
