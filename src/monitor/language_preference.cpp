#include "monitor/language_preference.h"

#include <QSettings>

namespace hq::monitor {

LanguagePreference::LanguagePreference(QString organisation, QString application)
    : organisation_(std::move(organisation)), application_(std::move(application)) {}

std::optional<int> LanguagePreference::read() const {
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope, organisation_,
                             application_);
    const QVariant value = settings.value(QString::fromLatin1(kKey));
    if (!value.isValid())
        return std::nullopt;
    bool ok = false;
    const int index = value.toInt(&ok);
    if (!ok)
        return std::nullopt;
    return index;
}

bool LanguagePreference::write(int languageIndex) const {
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, organisation_, application_);
    // An int is stored as REG_DWORD by the Windows backend of QSettings.
    settings.setValue(QString::fromLatin1(kKey), languageIndex);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace hq::monitor
