// hq3746ctl: builds the environment of a run and carries out one command line.
#include "cli/cli.h"

#include <QCoreApplication>
#include <QDir>

#include <atomic>
#include <csignal>

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) {
    g_interrupted.store(true);
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("hq3746ctl"));
    QCoreApplication::setOrganizationName(QStringLiteral("KOV"));
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const QString applicationDir =
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
    hq::cli::Environment env = hq::cli::defaultEnvironment(applicationDir, &g_interrupted);
    return hq::cli::run(arguments, env);
}
