// Handing a message with one attachment to the user's mail system (Qt-free).
// Result codes are those of Simple MAPI; MailResultText gives the text shown for each.
#pragma once

#include <string>

namespace hq::platform {

struct MailMessage {
    std::string subject;          // UTF-8
    std::string body;             // UTF-8
    std::string recipientName;    // display name
    std::string recipientAddress; // "SMTP:" + e-mail address
    std::string attachmentPath;   // UTF-8 path of the one attachment
};

// Simple MAPI result codes that carry a text of their own.
enum MailResult : int {
    MailSuccess = 0,
    MailUserAbort = 1,
    MailFailure = 2,
    MailLoginFailure = 3,
    MailInsufficientMemory = 5,
    MailTooManyFiles = 9,
    MailTooManyRecipients = 10,
    MailAttachmentNotFound = 11,
    MailAttachmentOpenFailure = 12,
    MailUnknownRecipient = 14,
    MailBadRecipientType = 15,
    MailTextTooLarge = 18,
    MailAmbiguousRecipient = 21,
};

// The error text of a result: empty for success; a code without a text of its own is a
// failure too ("Unknown mail error (code N)!").
inline std::string mailResultText(int code) {
    switch (code) {
    case MailSuccess:
        return {};
    case MailUserAbort:
        return "The user canceled one of the dialog boxes!";
    case MailFailure:
        return "One or more unspecified errors occurred!";
    case MailLoginFailure:
        return "There was no default logon, and the user failed to log on successfully when the "
               "logon dialog box was displayed!";
    case MailInsufficientMemory:
        return "There was insufficient memory to proceed!";
    case MailTooManyFiles:
        return "There were too many file attachments!";
    case MailTooManyRecipients:
        return "There were too many recipients!";
    case MailAttachmentNotFound:
        return "The specified attachment was not found!";
    case MailAttachmentOpenFailure:
        return "The specified attachment could not be open!";
    case MailUnknownRecipient:
        return "A recipient did not appear in the address list!";
    case MailBadRecipientType:
        return "The type of a recipient was not MAPI_TO, MAPI_CC, or MAPI_BCC!";
    case MailTextTooLarge:
        return "The text in the message was too large to sent!";
    case MailAmbiguousRecipient:
        return "A recipient matched more than one of the recipient descriptor structures and "
               "MAPI_DIALOG was not set!";
    default:
        return "Unknown mail error (code " + std::to_string(code) + ")!";
    }
}

#ifdef _WIN32
// Simple MAPI on Windows. The availability test (registry or profile) and the loading of
// MAPI32.DLL happen once, at the first send; the library stays loaded until destruction.
// Returns the MAPISendMail result, or MailUserAbort when mail is not available.
class SimpleMapi {
public:
    SimpleMapi() = default;
    ~SimpleMapi();
    SimpleMapi(const SimpleMapi&) = delete;
    SimpleMapi& operator=(const SimpleMapi&) = delete;

    int send(const MailMessage& message);

private:
    bool tested_ = false;
    bool available_ = false;
    void* library_ = nullptr;
    void* sendMail_ = nullptr;
};
#endif

} // namespace hq::platform
