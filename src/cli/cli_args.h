// Command-line parsing of hq3746ctl: one command word, its positional arguments and options,
// and the global options, in any order. Values are checked here, so every command starts from
// arguments that are known to be well formed.
#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <optional>

namespace hq::cli {

// Exit codes of hq3746ctl.
namespace exitcode {
inline constexpr int kOk = 0;
inline constexpr int kUsage = 1;         // unknown command or option, missing or bad value
inline constexpr int kNoCabinet = 2;     // no cabinet attached / found, or several and no --serial
inline constexpr int kTimeout = 3;       // no answer within --timeout
inline constexpr int kDeviceError = 4;   // HID unavailable, no read-write access, write failed,
                                         // cabinet went away, file error
inline constexpr int kNetworkError = 5;  // socket error, connection refused, HTTP status not 2xx
inline constexpr int kInterrupted = 130; // Ctrl-C during a one-shot command
} // namespace exitcode

struct ParsedArgs {
    QString command;        // empty: no command given
    QStringList positional; // arguments after the command word that are no options
    // Options as given, without the leading "--"; flags map to an empty string.
    std::map<QString, QString> options;

    bool has(const QString& name) const { return options.count(name) != 0; }
    QString value(const QString& name) const {
        const auto it = options.find(name);
        return it == options.end() ? QString() : it->second;
    }
};

struct ParseOutcome {
    ParsedArgs args;
    QString error; // empty on success; one line for stderr otherwise
    bool ok() const { return error.isEmpty(); }
};

// Parses the arguments after the program name. Options take their value as "--opt value" or
// "--opt=value"; "--" ends the options; a token such as "-5" that reads as a negative number is
// positional. Options not known for the command are an error.
ParseOutcome parseArguments(const QStringList& arguments);

// Value readers: nothing on a malformed text.
// A whole number (decimal, or hexadecimal with 0x) within [min, max].
std::optional<long long> parseInteger(const QString& text, long long min, long long max);
// Seconds as a decimal number > 0 (fractions allowed) and at most max; milliseconds returned.
std::optional<long long> parseSeconds(const QString& text, double max = 31 * 24 * 3600.0);
// "on" / "off" (also "1"/"0", "true"/"false", "yes"/"no").
std::optional<bool> parseOnOff(const QString& text);

// The commands that talk to the cabinet over USB.
bool isDeviceCommand(const QString& command);
// Every command word, in the order of the help text.
QStringList commandNames();

} // namespace hq::cli
