// Simple MAPI transport (Windows only, Qt-free).
#include "platform/mail.h"

#include <windows.h>

#include <mapi.h>

#include <string>

namespace hq::platform {

namespace {

// UTF-8 to the ANSI code page that the ANSI Simple MAPI entry points expect.
std::string toAnsi(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring w(std::size_t(wide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), w.data(), wide);
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w.data(), wide, out.data(), n, nullptr, nullptr);
    return out;
}

bool platformAbove351() {
    // GetVersionEx is deprecated but still reports what the test needs (major > 3, or 3.51+).
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&info))
        return true;
#pragma GCC diagnostic pop
    return info.dwMajorVersion > 3 || (info.dwMajorVersion == 3 && info.dwMinorVersion > 51);
}

bool mailAvailable() {
    if (platformAbove351()) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows Messaging Subsystem", 0,
                          KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        char value[9] = {};
        DWORD size = sizeof value;
        DWORD type = 0;
        const LONG rc =
            RegQueryValueExA(key, "MAPI", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS && size >= 1 && value[0] == '1' &&
               (size == 1 || value[1] == '\0');
    }
    return GetProfileIntA("Mail", "MAPI", 0) != 0;
}

} // namespace

SimpleMapi::~SimpleMapi() {
    if (library_)
        FreeLibrary(static_cast<HMODULE>(library_));
}

int SimpleMapi::send(const MailMessage& message) {
    if (!tested_) {
        tested_ = true;
        available_ = mailAvailable();
        if (available_)
            library_ = LoadLibraryA("MAPI32.DLL");
    }
    if (!available_ || !library_)
        return MailUserAbort;
    if (!sendMail_)
        sendMail_ =
            reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library_), "MAPISendMail"));
    if (!sendMail_)
        return MailUserAbort;

    std::string subject = toAnsi(message.subject);
    std::string body = toAnsi(message.body);
    std::string name = toAnsi(message.recipientName);
    std::string address = toAnsi(message.recipientAddress);
    std::string path = toAnsi(message.attachmentPath);

    MapiRecipDesc recipient{};
    recipient.ulReserved = 0;
    recipient.ulRecipClass = MAPI_TO;
    recipient.lpszName = name.data();
    recipient.lpszAddress = address.data();
    recipient.ulEIDSize = 0;
    recipient.lpEntryID = nullptr;

    MapiFileDesc file{};
    file.ulReserved = 0;
    file.flFlags = 0;
    file.nPosition = 0;
    file.lpszPathName = path.data();
    file.lpszFileName = nullptr;
    file.lpFileType = nullptr;

    MapiMessage mail{};
    mail.ulReserved = 0;
    mail.lpszSubject = subject.data();
    mail.lpszNoteText = body.data();
    mail.lpszMessageType = nullptr;
    mail.lpszDateReceived = nullptr;
    mail.lpszConversationID = nullptr;
    mail.flFlags = 0;
    mail.lpOriginator = nullptr;
    mail.nRecipCount = 1;
    mail.lpRecips = &recipient;
    mail.nFileCount = 1;
    mail.lpFiles = &file;

    auto send = reinterpret_cast<LPMAPISENDMAIL>(sendMail_);
    // No session, no parent window, logon interface allowed, new session, no compose dialog.
    return int(send(0, 0, &mail, MAPI_LOGON_UI | MAPI_NEW_SESSION, 0));
}

} // namespace hq::platform
