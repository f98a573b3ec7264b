#include "cli/cli_args.h"

#include <QCommandLineParser>
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
    {"serve",
     true,
     {{"metrics", true}, {"interval", true}, {"duration", true}, {"cabinets", true}}},
    {"publish",
     true,
     {{"broker", true},
      {"topic-prefix", true},
      {"client-id", true},
      {"username", true},
      {"password-file", true},
      {"tls-ca", true},
      {"metrics", true},
      {"interval", true},
      {"duration", true},
      {"cabinets", true}}},
    {"help", false, {}},
};

const CommandSpec* findCommand(const QString& name) {
    for (const auto& c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

// A token that starts with "-" but is an argument: a negative number ("-5") or a lone "-"
// (standard input). The parser would take it for a short option, so it travels with a mark.
const QChar kArgumentMark(0xE000);

bool looksNegativeNumber(const QString& token) {
    return token == QLatin1String("-") ||
           (token.size() >= 2 && token[0] == u'-' && token[1].isDigit());
}

QString unmark(QString text) {
    if (text.startsWith(kArgumentMark))
        text.remove(0, 1);
    return text;
}

void addOption(QCommandLineParser& parser, const OptionSpec& o) {
    QStringList names{QLatin1String(o.name)};
    if (QLatin1String(o.name) == QLatin1String("help"))
        names.prepend(QStringLiteral("h"));
    parser.addOption(o.takesValue ? QCommandLineOption(names, QString(), QStringLiteral("value"))
                                  : QCommandLineOption(names));
}

// A parser that knows the global options and those of command (all commands' when null: their
// names and whether they take a value do not clash).
void addOptions(QCommandLineParser& parser, const CommandSpec* command) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const auto& o : kGlobal)
        addOption(parser, o);
    QStringList added;
    for (const auto& c : kCommands) {
        if (command && &c != command)
            continue;
        for (const auto& o : c.options)
            if (!added.contains(QLatin1String(o.name))) {
                added << QLatin1String(o.name);
                addOption(parser, o);
            }
    }
}

const OptionSpec* findOption(const CommandSpec* command, const QString& name) {
    for (const auto& o : kGlobal)
        if (name == QLatin1String(o.name))
            return &o;
    for (const auto& c : kCommands)
        if (!command || &c == command)
            for (const auto& o : c.options)
                if (name == QLatin1String(o.name))
                    return &o;
    return nullptr;
}

// The parser says only in words what was wrong with a value; tell it in ours.
QString valueProblem(const QStringList& tokens, const CommandSpec* command) {
    for (qsizetype i = 0; i < tokens.size() && tokens[i] != QLatin1String("--"); ++i) {
        if (!tokens[i].startsWith(QLatin1String("--")))
            continue;
        const QString name = tokens[i].mid(2).section(u'=', 0, 0);
        const OptionSpec* spec = findOption(command, name);
        if (!spec)
            continue;
        if (!spec->takesValue && tokens[i].contains(u'='))
            return QStringLiteral("option \"--%1\" takes no value").arg(name);
        if (spec->takesValue && !tokens[i].contains(u'=') && i + 1 == tokens.size())
            return QStringLiteral("option \"--%1\" needs a value").arg(name);
    }
    return {};
}

} // namespace

ParseOutcome parseArguments(const QStringList& arguments) {
    ParseOutcome out;
    QStringList tokens{QStringLiteral("hq3746ctl")};
    bool optionsEnded = false;
    for (const QString& token : arguments) {
        optionsEnded |= token == QLatin1String("--");
        tokens << (!optionsEnded && looksNegativeNumber(token) ? kArgumentMark + token : token);
    }

    // The command word decides which options are known: find it with every option known.
    const CommandSpec* command = nullptr;
    {
        QCommandLineParser any;
        addOptions(any, nullptr);
        any.parse(tokens);
        const QStringList words = any.positionalArguments();
        if (!words.isEmpty()) {
            out.args.command = unmark(words.first());
            command = findCommand(out.args.command);
            if (!command) {
                out.error = QStringLiteral("unknown command \"%1\" (see hq3746ctl --help)")
                                .arg(out.args.command);
                return out;
            }
        }
    }

    QCommandLineParser parser;
    addOptions(parser, command);
    if (!parser.parse(tokens)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString dashes =
                unknown.first().size() == 1 ? QStringLiteral("-") : QStringLiteral("--");
            out.error =
                command ? QStringLiteral("unknown option \"%1%2\" for \"%3\"")
                              .arg(dashes, unknown.first(), out.args.command)
                        : QStringLiteral("unknown option \"%1%2\"").arg(dashes, unknown.first());
        } else {
            out.error = valueProblem(tokens.mid(1), command);
            if (out.error.isEmpty())
                out.error = parser.errorText();
        }
        return out;
    }
    QStringList seen;
    for (const QString& name : parser.optionNames()) {
        const QString option = name == QLatin1String("h") ? QStringLiteral("help") : name;
        if (seen.contains(option)) {
            out.error = QStringLiteral("option \"--%1\" given twice").arg(option);
            return out;
        }
        seen << option;
        out.args.options[option] = unmark(parser.value(option));
    }
    const QStringList words = parser.positionalArguments();
    for (qsizetype i = command ? 1 : 0; i < words.size(); ++i)
        out.args.positional.push_back(unmark(words[i]));
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
    static const QRegularExpression kDec(QStringLiteral("^[0-9]+$"));
    static const QRegularExpression kHex(QStringLiteral("^[0-9A-Fa-f]+$"));
    if (!(base == 10 ? kDec : kHex).match(t).hasMatch())
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
    static const QRegularExpression kNumber(QStringLiteral("^[0-9]+(\\.[0-9]+)?$"));
    const QString t = text.trimmed();
    if (!kNumber.match(t).hasMatch())
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
    static const std::set<QString> kOn{QStringLiteral("on"), QStringLiteral("1"),
                                       QStringLiteral("true"), QStringLiteral("yes")};
    static const std::set<QString> kOff{QStringLiteral("off"), QStringLiteral("0"),
                                        QStringLiteral("false"), QStringLiteral("no")};
    if (kOn.count(t))
        return true;
    if (kOff.count(t))
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
