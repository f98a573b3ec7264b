// The one persistent preference of the monitor window: the position of the chosen language in
// the language box. Kept under organisation "KOV", application "HQ3746DC", key "1.0", value
// "lang" in the platform's native settings store; on Windows that is the REG_DWORD value
// HKEY_CURRENT_USER\Software\KOV\HQ3746DC\1.0\lang.
#pragma once

#include <QString>

#include <optional>

namespace hq::monitor {

class LanguagePreference {
public:
    LanguagePreference() = default;
    // Another organisation/application, for tests and side-by-side installations.
    LanguagePreference(QString organisation, QString application);

    // The stored position, or nothing when the key or value is absent or the value is not an
    // integer (such a value counts as absent).
    std::optional<int> read() const;
    // Creates the key if needed; false when the store could not be written.
    bool write(int languageIndex) const;

    static constexpr const char* kKey = "1.0/lang";

private:
    QString organisation_ = QStringLiteral("KOV");
    QString application_ = QStringLiteral("HQ3746DC");
};

} // namespace hq::monitor
