// Running hq3746ctl in process: the command line in, exit code and both output streams out.
#pragma once

#include "cli/cli.h"

#include <QString>
#include <QStringList>

#include <sstream>
#include <string>

namespace hq::cli::test {

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// Runs one command line with the given environment; its streams are replaced by buffers.
inline Outcome runCli(const QStringList& args, Environment env) {
    std::ostringstream out, err;
    std::istringstream in;
    env.out = &out;
    env.err = &err;
    if (!env.in)
        env.in = &in;
    Outcome o;
    o.code = run(args, env);
    o.out = QString::fromStdString(out.str());
    o.err = QString::fromStdString(err.str());
    return o;
}

// An environment without any device backend, for the commands that need none.
inline Environment offlineEnvironment() {
    Environment env;
    env.now = [] { return std::chrono::system_clock::now(); };
    return env;
}

// 64 report bytes as hex, with the given bytes set.
inline QString reportHex(std::initializer_list<std::pair<int, int>> bytes) {
    unsigned char r[64] = {};
    for (const auto& [i, v] : bytes)
        r[i] = static_cast<unsigned char>(v);
    QStringList parts;
    for (unsigned char b : r)
        parts << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
    return parts.join(u' ');
}

} // namespace hq::cli::test
