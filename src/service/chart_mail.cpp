#include "service/chart_mail.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTemporaryFile>

namespace hq::service {

#ifndef HQ_HELPDESK_ADDRESS
#define HQ_HELPDESK_ADDRESS "helpdesk@kov.example"
#endif

QString defaultHelpdeskAddress() {
    return QStringLiteral(HQ_HELPDESK_ADDRESS);
}

QString helpdeskAddress(const QProcessEnvironment& environment) {
    const QString v = environment.value(QLatin1String(kHelpdeskAddressVariable)).trimmed();
    return v.isEmpty() ? defaultHelpdeskAddress() : v;
}

MailOutcome SendChartMail(MailTransport& transport, const QString& file, const QString& subject,
                          const QString& body, const QString& address, const QString& name) {
    if (!QFileInfo(file).isFile())
        return {QStringLiteral("File \"%1\" not found!").arg(file), {}};
    platform::MailMessage m;
    m.subject = subject.toStdString();
    m.body = body.toStdString();
    m.recipientName = name.toStdString();
    m.recipientAddress = (QStringLiteral("SMTP:") + address).toStdString();
    m.attachmentPath = QDir::toNativeSeparators(file).toStdString();
    const MailSendResult r = transport.send(m);
    if (r.code != platform::MailSuccess)
        return {QString::fromStdString(platform::mailResultText(r.code)), {}};
    return {{}, r.note};
}

QString MakeTempFileName() {
    QTemporaryFile f(QDir::temp().filePath(QStringLiteral("KOVXXXXXX.tmp")));
    f.setAutoRemove(false);
    if (!f.open())
        return {};
    return f.fileName();
}

QString mailErrorMessage(const QString& error) {
    const QString br = QStringLiteral("\n\r");
    return QStringLiteral("Die Datei konnte nicht per E-Mail versendet werden!") + br + br +
           QStringLiteral("Meldung:") + br + error;
}

} // namespace hq::service
