// The help-desk mail: one message with the chart file attached, through the platform's
// mail transport (Simple MAPI on Windows, xdg-email elsewhere).
#pragma once

#include "platform/mail.h"

#include <QString>

#include <memory>

class QProcessEnvironment;

namespace hq::service {

inline constexpr char kHelpdeskSubject[] = "LB6620-15 - Hilfe";
inline constexpr char kHelpdeskBodyStart[] = "Erbitte um Hilfe bei meinem Schrank:";
inline constexpr char kHelpdeskName[] = "KOV Helpdesk";
inline constexpr char kHelpdeskAddressVariable[] = "HQ3746_HELPDESK_ADDRESS";

// Where help requests go unless HQ3746_HELPDESK_ADDRESS says otherwise; set when building
// (CMake cache variable HQ_HELPDESK_ADDRESS).
QString defaultHelpdeskAddress();

// The configured help-desk address: the environment variable when set and not blank, else the
// default.
QString helpdeskAddress(const QProcessEnvironment& environment);

struct MailSendResult {
    int code = platform::MailSuccess; // Simple MAPI result code
    QString note; // on success: what the user should know (e.g. the mail program was opened)
};

class MailTransport {
public:
    virtual ~MailTransport() = default;
    virtual MailSendResult send(const platform::MailMessage& message) = 0;
};

// The transport of this platform (chosen when building).
std::unique_ptr<MailTransport> createSystemMailTransport();

struct MailOutcome {
    QString error; // empty on success
    QString note;  // on success, a remark to show (may be empty)
    bool ok() const { return error.isEmpty(); }
};

// Builds the message (recipient "SMTP:" + address) and sends it; a missing file ends with
// "File \"name\" not found!" without contacting the mail system.
MailOutcome SendChartMail(MailTransport& transport, const QString& file, const QString& subject,
                          const QString& body, const QString& address, const QString& name);

// A new, empty, uniquely named file in the temporary folder whose name starts with "KOV".
// Empty when it could not be created.
QString MakeTempFileName();

// The text of the error box: the headline, two line breaks, "Meldung:", one line break and the
// error, each line break written LF CR.
QString mailErrorMessage(const QString& error);

} // namespace hq::service
