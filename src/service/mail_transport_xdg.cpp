// Mail transport for desktops without Simple MAPI: xdg-email opens the user's mail program
// with the message filled in; its exit codes map onto the Simple MAPI outcomes.
#include "service/chart_mail.h"

#include <QProcess>

namespace hq::service {

namespace {

class XdgEmailTransport : public MailTransport {
public:
    MailSendResult send(const platform::MailMessage& m) override {
        QString to = QString::fromStdString(m.recipientAddress);
        if (to.startsWith(QLatin1String("SMTP:"), Qt::CaseInsensitive))
            to = to.mid(5);
        const QString attachment = QString::fromStdString(m.attachmentPath);
        QProcess p;
        p.setProgram(QStringLiteral("xdg-email"));
        p.setArguments({QStringLiteral("--utf8"), QStringLiteral("--subject"),
                        QString::fromStdString(m.subject), QStringLiteral("--body"),
                        QString::fromStdString(m.body), QStringLiteral("--attach"), attachment,
                        to});
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start();
        if (!p.waitForStarted(10000))
            return {platform::MailUserAbort, {}}; // no mail tool: as if mail were not set up
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished(1000);
            return {platform::MailFailure, {}};
        }
        if (p.exitStatus() != QProcess::NormalExit)
            return {platform::MailFailure, {}};
        switch (p.exitCode()) {
        case 0:
            return {platform::MailSuccess,
                    QStringLiteral("Das E-Mail-Programm wurde geöffnet; bitte die Nachricht dort "
                                   "absenden.\nAnhang: %1")
                        .arg(attachment)};
        case 2: // a file given does not exist
            return {platform::MailAttachmentNotFound, {}};
        case 3: // a required tool is missing
            return {platform::MailUserAbort, {}};
        default:
            return {platform::MailFailure, {}};
        }
    }
};

} // namespace

std::unique_ptr<MailTransport> createSystemMailTransport() {
    return std::make_unique<XdgEmailTransport>();
}

} // namespace hq::service
