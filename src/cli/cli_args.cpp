#include "cli/cli_args.h"

#include <QRegularExpression>

#include <cmath>
#include <set>

namespace hq::cli {

namespace {

struct OptionSpec {
    const char* name;
    bool takesValue;
};

// Options every command accepts.
const OptionSpec kGlobal[] = {
    {"simulate", false}, {"serial", true}, {"json", false}, {"timeout", true}, {"help", false},
};

struct CommandSpec {
    const char* name;
    bool device;
    std::initializer_list<OptionSpec> options;
};

const CommandSpec kCommands[] = {
    {"list", true, {}},
    {"status", true, {{"watch", false}, {"interval", true}}},
    {"config", true, {}},
    {"set", true, {{"door-alarm", true}, {"restart-delay", true}, {"return-air", true}}},
    {"clock", true, {{"set", false}}},
    {"reset", true, {}},
    {"serial", true, {}},
    {"disp-ldr", true, {}},
    {"wdt-test", true, {}},
    {"bootloader", true, {}},
    {"record", true, {{"csv", true}, {"history", false}, {"duration", true}, {"interval", true}}},
    {"decode", false, {}},
    {"frame",
     false,
     {{"door-alarm", true},
      {"restart-delay", true},
      {"return-air", true},
      {"at", true},
      {"report", true}}},
    {"discover", false, {{"address", true}, {"port", true}, {"wait", true}}},
    {"upload", false, {{"address", true}, {"port", true}}},
    {"history", false, {{"from", true}, {"to", true}, {"csv", true}, {"chart", true}}},
    {"help", false, {}},
};

const CommandSpec* findCommand(const QString& name) {
    for (const auto& c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

const OptionSpec* findOption(const CommandSpec* command, const QString& name) {
    for (const auto& o : kGlobal)
        if (name == QLatin1String(o.name))
            return &o;
    if (command)
        for (const auto& o : command->options)
            if (name == QLatin1String(o.name))
                return &o;
    return nullptr;
}

// "-5" and a lone "-" (standard input) are arguments, not options.
bool looksNegativeNumber(const QString& token) {
    return token == QLatin1String("-") ||
           (token.size() >= 2 && token[0] == u'-' && token[1].isDigit());
}

} // namespace

ParseOutcome parseArguments(const QStringList& arguments) {
    ParseOutcome out;
    // The command word decides which options are known; find it first.
    const CommandSpec* command = nullptr;
    {
        bool skipValue = false;
        for (const QString& token : arguments) {
            if (skipValue) {
                skipValue = false;
                continue;
            }
            if (token == QLatin1String("--"))
                break;
            if (token.startsWith(QLatin1String("--"))) {
                const QString name = token.mid(2).section(u'=', 0, 0);
                // Value-taking options of any command: their value is not the command word.
                bool valued = false;
                for (const auto& o : kGlobal)
                    valued |= (name == QLatin1String(o.name) && o.takesValue);
                for (const auto& c : kCommands)
                    for (const auto& o : c.options)
                        valued |= (name == QLatin1String(o.name) && o.takesValue);
                skipValue = valued && !token.contains(u'=');
                continue;
            }
            if (token.startsWith(u'-') && !looksNegativeNumber(token))
                continue;
            command = findCommand(token);
            if (!command) {
                out.error =
                    QStringLiteral("unknown command \"%1\" (see hq3746ctl --help)").arg(token);
                return out;
            }
            out.args.command = token;
            break;
        }
    }

    bool commandSeen = false;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& token = arguments[i];
        if (!optionsEnded && token == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && token.startsWith(u'-') && !looksNegativeNumber(token)) {
            if (!token.startsWith(QLatin1String("--")) || token.size() == 2) {
                if (token == QLatin1String("-h")) {
                    out.args.options[QStringLiteral("help")] = QString();
                    continue;
                }
                out.error = QStringLiteral("unknown option \"%1\"").arg(token);
                return out;
            }
            QString name = token.mid(2);
            QString value;
            bool hasInlineValue = false;
            if (const qsizetype eq = name.indexOf(u'='); eq >= 0) {
                value = name.mid(eq + 1);
                name = name.left(eq);
                hasInlineValue = true;
            }
            const OptionSpec* spec = findOption(command, name);
            if (!spec) {
                out.error = command ? QStringLiteral("unknown option \"--%1\" for \"%2\"")
                                          .arg(name, out.args.command)
                                    : QStringLiteral("unknown option \"--%1\"").arg(name);
                return out;
            }
            if (spec->takesValue) {
                if (!hasInlineValue) {
                    if (i + 1 >= arguments.size()) {
                        out.error = QStringLiteral("option \"--%1\" needs a value").arg(name);
                        return out;
                    }
                    value = arguments[++i];
                }
            } else if (hasInlineValue) {
                out.error = QStringLiteral("option \"--%1\" takes no value").arg(name);
                return out;
            }
            if (out.args.options.count(name) != 0) {
                out.error = QStringLiteral("option \"--%1\" given twice").arg(name);
                return out;
            }
            out.args.options[name] = value;
            continue;
        }
        if (!commandSeen && command) {
            commandSeen = true; // the command word itself
            continue;
        }
        out.args.positional.push_back(token);
    }
    return out;
}

std::optional<long long> parseInteger(const QString& text, long long min, long long max) {
    QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    bool negative = false;
    if (t.startsWith(u'-') || t.startsWith(u'+')) {
        negative = t.startsWith(u'-');
        t = t.mid(1);
    }
    int base = 10;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        t = t.mid(2);
    }
    static const QRegularExpression dec(QStringLiteral("^[0-9]+$"));
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]+$"));
    if (!(base == 10 ? dec : hex).match(t).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qulonglong magnitude = t.toULongLong(&ok, base);
    if (!ok || magnitude > 9223372036854775807ull)
        return std::nullopt;
    const long long v =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    if (v < min || v > max)
        return std::nullopt;
    return v;
}

std::optional<long long> parseSeconds(const QString& text, double max) {
    static const QRegularExpression number(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
    const QString t = text.trimmed();
    if (!number.match(t).hasMatch())
        return std::nullopt;
    const double seconds = t.toDouble();
    if (!(seconds > 0.0) || seconds > max)
        return std::nullopt;
    const long long ms = std::llround(seconds * 1000.0);
    if (ms <= 0)
        return std::nullopt;
    return ms;
}

std::optional<bool> parseOnOff(const QString& text) {
    const QString t = text.trimmed().toLower();
    static const std::set<QString> on{QStringLiteral("on"), QStringLiteral("1"),
                                      QStringLiteral("true"), QStringLiteral("yes")};
    static const std::set<QString> off{QStringLiteral("off"), QStringLiteral("0"),
                                       QStringLiteral("false"), QStringLiteral("no")};
    if (on.count(t))
        return true;
    if (off.count(t))
        return false;
    return std::nullopt;
}

bool isDeviceCommand(const QString& command) {
    const CommandSpec* c = findCommand(command);
    return c && c->device;
}

QStringList commandNames() {
    QStringList names;
    for (const auto& c : kCommands)
        names.push_back(QLatin1String(c.name));
    return names;
}

} // namespace hq::cli
