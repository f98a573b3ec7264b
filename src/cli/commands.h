// Internal to the tool: what every command gets, output helpers, and the command functions.
#pragma once

#include "cli/cli.h"
#include "protocol/command_frame.h"
#include "protocol/fields.h"

#include <QString>

#include <chrono>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace hq::cli {

struct Context {
    Environment& env;
    const ParsedArgs& args;
    bool json = false;
    std::chrono::milliseconds timeout{2000};
    bool timeoutGiven = false;

    std::ostream& out() const { return *env.out; }
    // Writes "hq3746ctl: message" to stderr and returns code.
    int fail(int code, const QString& message) const;
    void note(const QString& message) const; // "hq3746ctl: message" on stderr, no failure
    void line(const QString& text) const;    // one line of output
    bool interrupted() const { return env.interrupt && env.interrupt->load(); }
};

// A JSON object whose members keep the order in which they are added.
class JsonObject {
public:
    JsonObject& raw(std::string_view key, const std::string& json);
    JsonObject& str(std::string_view key, const QString& text);
    JsonObject& num(std::string_view key, long long value);
    JsonObject& real(std::string_view key, double value);
    JsonObject& flag(std::string_view key, bool value);
    JsonObject& null(std::string_view key) { return raw(key, "null"); }
    JsonObject& strings(std::string_view key, const std::vector<std::string>& utf8);
    JsonObject& fields(std::string_view key, const std::vector<protocol::Field>& fields);
    std::string text() const { return body_ + "}"; }

private:
    std::string body_ = "{";
    bool first_ = true;
};
std::string jsonText(const QString& text);
std::string jsonStrings(const std::vector<std::string>& utf8);

// Upper-case hex bytes separated by single blanks: "41 32 32 1E".
QString hexBytes(std::span<const std::uint8_t> bytes);
// Parses one report given as hex (blanks and tabs between bytes allowed, "0x" prefixes too).
std::optional<std::vector<std::uint8_t>> parseHexBytes(const QString& text, QString& problem);

// What the monitor shows of the firmware version: shortest decimal text ("1.003", "1.01", "2").
QString firmwareVersionText(const protocol::FirmwareVersion& v);

// Option readers shared by set and frame (each reports its own usage error and returns its code).
int settingsOptions(const Context& ctx, int& doorAlarm, int& restartDelay);
int returnAirArgument(const Context& ctx, bool& on);
std::optional<std::int32_t> serialArgument(const Context& ctx, int& rc);

// Commands.
int cmdList(Context& ctx);
int cmdStatus(Context& ctx);
int cmdConfig(Context& ctx);
int cmdSet(Context& ctx);
int cmdClock(Context& ctx);
int cmdSimple(Context& ctx); // reset, serial, disp-ldr, wdt-test, bootloader
int cmdRecord(Context& ctx);
int cmdDecode(Context& ctx);
int cmdFrame(Context& ctx);
int cmdDiscover(Context& ctx);
int cmdUpload(Context& ctx);
int cmdHistory(Context& ctx); // list, export, check
int cmdServe(Context& ctx);
int cmdPublish(Context& ctx);

} // namespace hq::cli
