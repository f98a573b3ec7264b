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
    kMailSuccess = 0,
    kMailUserAbort = 1,
    kMailFailure = 2,
    kMailLoginFailure = 3,
    kMailInsufficientMemory = 5,
    kMailTooManyFiles = 9,
    kMailTooManyRecipients = 10,
    kMailAttachmentNotFound = 11,
    kMailAttachmentOpenFailure = 12,
    kMailUnknownRecipient = 14,
    kMailBadRecipientType = 15,
    kMailTextTooLarge = 18,
    kMailAmbiguousRecipient = 21,
};

// The error text of a result: empty for success; a code without a text of its own is a
// failure too ("Unknown mail error (code N)!").
inline std::string MailResultText(int code) {
    switch (code) {
    case kMailSuccess:
        return {};
    case kMailUserAbort:
        return "The user canceled one of the dialog boxes!";
    case kMailFailure:
        return "One or more unspecified errors occurred!";
    case kMailLoginFailure:
        return "There was no default logon, and the user failed to log on successfully when the "
               "logon dialog box was displayed!";
    case kMailInsufficientMemory:
        return "There was insufficient memory to proceed!";
    case kMailTooManyFiles:
        return "There were too many file attachments!";
    case kMailTooManyRecipients:
        return "There were too many recipients!";
    case kMailAttachmentNotFound:
        return "The specified attachment was not found!";
    case kMailAttachmentOpenFailure:
        return "The specified attachment could not be open!";
    case kMailUnknownRecipient:
        return "A recipient did not appear in the address list!";
    case kMailBadRecipientType:
        return "The type of a recipient was not MAPI_TO, MAPI_CC, or MAPI_BCC!";
    case kMailTextTooLarge:
        return "The text in the message was too large to sent!";
    case kMailAmbiguousRecipient:
        return "A recipient matched more than one of the recipient descriptor structures and "
               "MAPI_DIALOG was not set!";
    default:
        return "Unknown mail error (code " + std::to_string(code) + ")!";
    }
}

#ifdef _WIN32
// Simple MAPI on Windows. The availability test (registry or profile) and the loading of
// MAPI32.DLL happen once, at the first send; the library stays loaded until destruction.
// Returns the MAPISendMail result, or kMailUserAbort when mail is not available.
class SimpleMapi {
public:
    SimpleMapi() = default;
    ~SimpleMapi();
    SimpleMapi(const SimpleMapi&) = delete;
    SimpleMapi& operator=(const SimpleMapi&) = delete;

    int Send(const MailMessage& message);

private:
    bool tested_ = false;
    bool available_ = false;
    void* library_ = nullptr;
    void* sendMail_ = nullptr;
};
#endif

} // namespace hq::platform
