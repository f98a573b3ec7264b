// Windows HID backend: hid.dll and setupapi.dll bound at run time, device-interface paths
// opened with CreateFileA, overlapped reads with ReadFileEx completed in alertable waits, and
// a hidden top-level window that receives the WM_DEVICECHANGE broadcasts.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // CancelIoEx
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include "platform/hid_native.h"

#include <windows.h>

// hidpi.h needs the usage types first.
#include <hidusage.h>

#include <dbt.h>
#include <hidpi.h>
#include <hidsdi.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace hq::platform {

namespace {

thread_local ErrorCode tlsLastError = 0;

void setError(ErrorCode code) {
    tlsLastError = code;
}
void takeLastError() {
    tlsLastError = static_cast<ErrorCode>(::GetLastError());
}

// The entry points of hid.dll and setupapi.dll this backend uses.
struct HidApi {
    using GetClassDevsA = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
    using EnumDeviceInterfaces = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                               PSP_DEVICE_INTERFACE_DATA);
    using GetDeviceInterfaceDetailA = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD,
                                                    PDWORD, PSP_DEVINFO_DATA);
    using GetDeviceRegistryPropertyA = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD,
                                                     PBYTE, DWORD, PDWORD);
    using DestroyDeviceInfoList = BOOL(WINAPI*)(HDEVINFO);
    using GetHidGuid = void(WINAPI*)(LPGUID);
    using GetAttributes = BOOLEAN(WINAPI*)(HANDLE, PHIDD_ATTRIBUTES);
    using GetPreparsedData = BOOLEAN(WINAPI*)(HANDLE, PHIDP_PREPARSED_DATA*);
    using FreePreparsedData = BOOLEAN(WINAPI*)(PHIDP_PREPARSED_DATA);
    using GetCaps = NTSTATUS(WINAPI*)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
    using GetString = BOOLEAN(WINAPI*)(HANDLE, PVOID, ULONG);
    using GetIndexedString = BOOLEAN(WINAPI*)(HANDLE, ULONG, PVOID, ULONG);

    HMODULE setupapi = nullptr;
    HMODULE hid = nullptr;
    GetClassDevsA getClassDevs = nullptr;
    EnumDeviceInterfaces enumDeviceInterfaces = nullptr;
    GetDeviceInterfaceDetailA getDeviceInterfaceDetail = nullptr;
    GetDeviceRegistryPropertyA getDeviceRegistryProperty = nullptr;
    DestroyDeviceInfoList destroyDeviceInfoList = nullptr;
    GetHidGuid getHidGuid = nullptr;
    GetAttributes getAttributes = nullptr;
    GetPreparsedData getPreparsedData = nullptr;
    FreePreparsedData freePreparsedData = nullptr;
    GetCaps getCaps = nullptr;
    GetString getProductString = nullptr;
    GetString getSerialNumberString = nullptr;
    GetIndexedString getIndexedString = nullptr;

    template <class F> static bool bind(HMODULE module, const char* name, F& fn) {
        fn = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
        return fn != nullptr;
    }

    // The setup library first, and only if it is there the HID library.
    bool load() {
        setupapi = ::LoadLibraryA("setupapi.dll");
        if (!setupapi || !bind(setupapi, "SetupDiGetClassDevsA", getClassDevs) ||
            !bind(setupapi, "SetupDiEnumDeviceInterfaces", enumDeviceInterfaces) ||
            !bind(setupapi, "SetupDiGetDeviceInterfaceDetailA", getDeviceInterfaceDetail) ||
            !bind(setupapi, "SetupDiGetDeviceRegistryPropertyA", getDeviceRegistryProperty) ||
            !bind(setupapi, "SetupDiDestroyDeviceInfoList", destroyDeviceInfoList))
            return false;
        hid = ::LoadLibraryA("hid.dll");
        return hid && bind(hid, "HidD_GetHidGuid", getHidGuid) &&
               bind(hid, "HidD_GetAttributes", getAttributes) &&
               bind(hid, "HidD_GetPreparsedData", getPreparsedData) &&
               bind(hid, "HidD_FreePreparsedData", freePreparsedData) &&
               bind(hid, "HidP_GetCaps", getCaps) &&
               bind(hid, "HidD_GetProductString", getProductString) &&
               bind(hid, "HidD_GetSerialNumberString", getSerialNumberString) &&
               bind(hid, "HidD_GetIndexedString", getIndexedString);
    }

    void unload() {
        if (hid)
            ::FreeLibrary(hid);
        if (setupapi)
            ::FreeLibrary(setupapi);
        hid = setupapi = nullptr;
    }
};

// {4D1E55B2-F16F-11CF-88CB-001111000030}
constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

class WindowsPreparsed : public HidPreparsedData {
public:
    WindowsPreparsed(const HidApi& api, PHIDP_PREPARSED_DATA data) : api_(api), data_(data) {}
    ~WindowsPreparsed() override { api_.freePreparsedData(data_); }
    WindowsPreparsed(const WindowsPreparsed&) = delete;
    WindowsPreparsed& operator=(const WindowsPreparsed&) = delete;

    bool getCaps(HidCaps& caps) const override {
        HIDP_CAPS c{};
        if (api_.getCaps(data_, &c) != HIDP_STATUS_SUCCESS)
            return false;
        caps.usage = c.Usage;
        caps.usagePage = c.UsagePage;
        caps.inputReportByteLength = c.InputReportByteLength;
        caps.outputReportByteLength = c.OutputReportByteLength;
        caps.featureReportByteLength = c.FeatureReportByteLength;
        return true;
    }

private:
    const HidApi& api_;
    PHIDP_PREPARSED_DATA data_;
};

// String queries take a byte count; HID strings are at most 126 units, and the platform
// accepts buffers of up to 4093 bytes.
ULONG byteCount(std::span<char16_t> buffer) {
    return static_cast<ULONG>(std::min<std::size_t>(buffer.size() * sizeof(char16_t), 4092));
}

class WindowsControlHandle : public HidControlHandle {
public:
    WindowsControlHandle(const HidApi& api, HANDLE handle) : api_(api), handle_(handle) {}
    ~WindowsControlHandle() override { ::CloseHandle(handle_); }
    WindowsControlHandle(const WindowsControlHandle&) = delete;
    WindowsControlHandle& operator=(const WindowsControlHandle&) = delete;

    bool getAttributes(HidAttributes& attributes) override {
        HIDD_ATTRIBUTES a{};
        a.Size = sizeof a;
        if (!api_.getAttributes(handle_, &a)) {
            takeLastError();
            return false;
        }
        attributes.size = a.Size;
        attributes.vendorId = a.VendorID;
        attributes.productId = a.ProductID;
        attributes.versionNumber = a.VersionNumber;
        return true;
    }

    std::unique_ptr<HidPreparsedData> getPreparsedData() override {
        PHIDP_PREPARSED_DATA data = nullptr;
        if (!api_.getPreparsedData(handle_, &data) || !data) {
            takeLastError();
            return nullptr;
        }
        return std::make_unique<WindowsPreparsed>(api_, data);
    }

    bool getProductString(std::span<char16_t> buffer) override {
        return query(api_.getProductString, buffer);
    }

    bool getSerialNumberString(std::span<char16_t> buffer) override {
        return query(api_.getSerialNumberString, buffer);
    }

    IndexedStringResult getIndexedString(std::uint32_t index, std::span<char16_t> buffer) override {
        if (buffer.empty())
            return IndexedStringResult::Failed;
        if (!api_.getIndexedString(handle_, index, buffer.data(), byteCount(buffer))) {
            takeLastError();
            return IndexedStringResult::Failed;
        }
        return IndexedStringResult::Filled;
    }

    bool write(std::span<const std::uint8_t> report, std::uint32_t& written) override {
        DWORD n = 0;
        const BOOL ok =
            ::WriteFile(handle_, report.data(), static_cast<DWORD>(report.size()), &n, nullptr);
        written = n;
        if (!ok)
            takeLastError();
        return ok != FALSE;
    }

private:
    bool query(HidApi::GetString fn, std::span<char16_t> buffer) {
        if (buffer.empty()) {
            setError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (!fn(handle_, buffer.data(), byteCount(buffer))) {
            takeLastError();
            return false;
        }
        buffer[buffer.size() - 1] = u'\0';
        return true;
    }

    const HidApi& api_;
    HANDLE handle_;
};

// The outstanding read. The completion routine (an APC on the reading thread) only clears
// apcPending; the block is freed once that has happened, so the routine never touches freed
// memory.
struct ReadState {
    OVERLAPPED overlapped{};
    std::atomic<bool> apcPending{false};
};

VOID CALLBACK readCompleted(DWORD, DWORD, LPOVERLAPPED overlapped) {
    reinterpret_cast<ReadState*>(overlapped)->apcPending.store(false);
}

class WindowsReadHandle : public HidReadHandle {
public:
    explicit WindowsReadHandle(HANDLE handle) : handle_(handle), state_(new ReadState) {}

    ~WindowsReadHandle() override {
        if (pending_.load()) {
            ::CancelIoEx(handle_, &state_->overlapped);
            DWORD n = 0;
            ::GetOverlappedResult(handle_, &state_->overlapped, &n, TRUE);
        }
        // The completion routine can only run on the thread that started the read.
        if (state_->apcPending.load() && ::GetCurrentThreadId() == readerThread_)
            while (state_->apcPending.load())
                ::SleepEx(10, TRUE);
        ::CloseHandle(handle_);
        if (state_->apcPending.load())
            return; // still queued on another thread: the block must outlive it
        delete state_;
    }
    WindowsReadHandle(const WindowsReadHandle&) = delete;
    WindowsReadHandle& operator=(const WindowsReadHandle&) = delete;

    bool startRead(std::span<std::uint8_t> buffer) override {
        if (pending_.load() || state_->apcPending.load()) {
            setError(ERROR_BUSY);
            return false;
        }
        std::memset(&state_->overlapped, 0, sizeof state_->overlapped);
        readerThread_ = ::GetCurrentThreadId();
        state_->apcPending.store(true);
        pending_.store(true);
        if (!::ReadFileEx(handle_, buffer.data(), static_cast<DWORD>(buffer.size()),
                          &state_->overlapped, readCompleted)) {
            takeLastError();
            state_->apcPending.store(false);
            pending_.store(false);
            return false;
        }
        completed_ = false;
        return true;
    }

    bool waitForCompletion(std::chrono::milliseconds slice) override {
        if (!pending_.load())
            return completed_;
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(slice.count());
        for (;;) {
            const ULONGLONG now = ::GetTickCount64();
            const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            ::SleepEx(left, TRUE);
            if (HasOverlappedIoCompleted(&state_->overlapped)) {
                // The completion routine is queued once the read completed; let it run so the
                // next read can reuse the block.
                for (int i = 0; i < 1000 && state_->apcPending.load(); ++i)
                    ::SleepEx(1, TRUE);
                pending_.store(false);
                completed_ = true;
                return true;
            }
            if (left == 0)
                return false;
        }
    }

    bool takeReadCount(std::uint32_t& count) override {
        if (!completed_) {
            setError(ERROR_IO_INCOMPLETE);
            return false;
        }
        completed_ = false;
        DWORD n = 0;
        if (!::GetOverlappedResult(handle_, &state_->overlapped, &n, FALSE)) {
            takeLastError();
            return false;
        }
        count = n;
        return true;
    }

    // Any thread: CancelIoEx reaches a read another thread started.
    void cancel() override {
        if (pending_.load())
            ::CancelIoEx(handle_, &state_->overlapped);
    }

private:
    HANDLE handle_;
    ReadState* state_;
    std::atomic<bool> pending_{false};
    bool completed_ = false;
    DWORD readerThread_ = 0;
};

// The hidden top-level window: the platform sends WM_DEVICECHANGE broadcasts to every
// top-level window (a message-only window would not get them).
class WindowsChangeNotifier : public HidChangeNotifier {
public:
    explicit WindowsChangeNotifier(std::function<void()> onChange)
        : onChange_(std::move(onChange)) {
        static const char* const kClassName = "HQ3746HidNotifyWindow";
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &WindowsChangeNotifier::windowProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = kClassName;
        ::RegisterClassExA(&wc); // fails harmlessly when a second notifier registers again
        window_ = ::CreateWindowExA(0, kClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    wc.hInstance, this);
    }
    ~WindowsChangeNotifier() override {
        if (window_)
            ::DestroyWindow(window_);
    }
    WindowsChangeNotifier(const WindowsChangeNotifier&) = delete;
    WindowsChangeNotifier& operator=(const WindowsChangeNotifier&) = delete;

    bool valid() const { return window_ != nullptr; }

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            ::SetWindowLongPtrA(window, GWLP_USERDATA,
                                reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        } else if (message == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED) {
            auto* self = reinterpret_cast<WindowsChangeNotifier*>(
                ::GetWindowLongPtrA(window, GWLP_USERDATA));
            if (self && self->onChange_)
                self->onChange_();
        }
        return ::DefWindowProcA(window, message, wParam, lParam);
    }

    std::function<void()> onChange_;
    HWND window_ = nullptr;
};

std::string textProperty(const HidApi& api, HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property) {
    std::vector<BYTE> buffer(1024 + 1, 0);
    if (!api.getDeviceRegistryProperty(set, &info, property, nullptr, buffer.data(), 1024, nullptr))
        return {};
    return std::string(reinterpret_cast<const char*>(buffer.data()));
}

std::vector<std::string> listProperty(const HidApi& api, HDEVINFO set, SP_DEVINFO_DATA& info,
                                      DWORD property) {
    std::vector<BYTE> buffer(16384 + 2, 0);
    std::vector<std::string> list;
    if (!api.getDeviceRegistryProperty(set, &info, property, nullptr, buffer.data(), 16384,
                                       nullptr))
        return list;
    const char* p = reinterpret_cast<const char*>(buffer.data());
    while (*p) {
        list.emplace_back(p);
        p += list.back().size() + 1;
    }
    return list;
}

std::uint32_t numberProperty(const HidApi& api, HDEVINFO set, SP_DEVINFO_DATA& info,
                             DWORD property) {
    DWORD value = 0;
    if (!api.getDeviceRegistryProperty(set, &info, property, nullptr,
                                       reinterpret_cast<PBYTE>(&value), sizeof value, nullptr))
        return 0;
    return value;
}

HidPnpProperties readProperties(const HidApi& api, HDEVINFO set, SP_DEVINFO_DATA& info) {
    HidPnpProperties p;
    p.capabilities = numberProperty(api, set, info, SPDRP_CAPABILITIES);
    p.deviceClass = textProperty(api, set, info, SPDRP_CLASS);
    p.classGuid = textProperty(api, set, info, SPDRP_CLASSGUID);
    p.compatibleIds = listProperty(api, set, info, SPDRP_COMPATIBLEIDS);
    p.configFlags = numberProperty(api, set, info, SPDRP_CONFIGFLAGS);
    p.deviceDesc = textProperty(api, set, info, SPDRP_DEVICEDESC);
    p.driver = textProperty(api, set, info, SPDRP_DRIVER);
    p.friendlyName = textProperty(api, set, info, SPDRP_FRIENDLYNAME);
    p.hardwareIds = listProperty(api, set, info, SPDRP_HARDWAREID);
    p.lowerFilters = listProperty(api, set, info, SPDRP_LOWERFILTERS);
    p.manufacturer = textProperty(api, set, info, SPDRP_MFG);
    p.upperFilters = listProperty(api, set, info, SPDRP_UPPERFILTERS);
    p.service = textProperty(api, set, info, SPDRP_SERVICE);
    p.address = textProperty(api, set, info, SPDRP_ADDRESS);
    p.busNumber = numberProperty(api, set, info, SPDRP_BUSNUMBER);
    p.busTypeGuid = textProperty(api, set, info, SPDRP_BUSTYPEGUID);
    p.characteristics = textProperty(api, set, info, SPDRP_CHARACTERISTICS);
    p.devType = numberProperty(api, set, info, SPDRP_DEVTYPE);
    p.enumeratorName = textProperty(api, set, info, SPDRP_ENUMERATOR_NAME);
    p.exclusive = numberProperty(api, set, info, SPDRP_EXCLUSIVE);
    p.legacyBusType = numberProperty(api, set, info, SPDRP_LEGACYBUSTYPE);
    p.locationInformation = textProperty(api, set, info, SPDRP_LOCATION_INFORMATION);
    p.physicalDeviceObjectName = textProperty(api, set, info, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);
    p.securitySds = textProperty(api, set, info, SPDRP_SECURITY_SDS);
    p.uiNumber = numberProperty(api, set, info, SPDRP_UI_NUMBER);
    p.uiNumberDescFormat = textProperty(api, set, info, SPDRP_UI_NUMBER_DESC_FORMAT);
    return p;
}

class WindowsHidPlatform : public HidPlatform {
public:
    WindowsHidPlatform() {
        available_ = api_.load();
        if (available_)
            api_.getHidGuid(&classGuid_);
    }
    ~WindowsHidPlatform() override { api_.unload(); }
    WindowsHidPlatform(const WindowsHidPlatform&) = delete;
    WindowsHidPlatform& operator=(const WindowsHidPlatform&) = delete;

    bool available() const override { return available_; }

    std::vector<HidInterfaceInfo> enumerate() override {
        std::vector<HidInterfaceInfo> result;
        if (!available_)
            return result;
        HDEVINFO set =
            api_.getClassDevs(&classGuid_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) {
            takeLastError();
            return result;
        }
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA ifData{};
            ifData.cbSize = sizeof ifData;
            if (!api_.enumDeviceInterfaces(set, nullptr, &classGuid_, index, &ifData))
                break;
            SP_DEVINFO_DATA devInfo{};
            devInfo.cbSize = sizeof devInfo;
            DWORD required = 0;
            api_.getDeviceInterfaceDetail(set, &ifData, nullptr, 0, &required, &devInfo);
            if (required == 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                continue;
            std::vector<BYTE> buffer(required, 0);
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (!api_.getDeviceInterfaceDetail(set, &ifData, detail, required, nullptr, &devInfo))
                continue;
            HidInterfaceInfo item;
            item.devInst = devInfo.DevInst;
            item.interfacePath = detail->DevicePath;
            item.properties = readProperties(api_, set, devInfo);
            result.push_back(std::move(item));
        }
        api_.destroyDeviceInfoList(set);
        return result;
    }

    std::unique_ptr<HidControlHandle> openControl(const std::string& interfacePath,
                                                  HidAccess access) override {
        if (!available_) {
            setError(ERROR_DLL_NOT_FOUND);
            return nullptr;
        }
        const DWORD rights = access == HidAccess::ReadWrite ? GENERIC_READ | GENERIC_WRITE : 0;
        HANDLE h = ::CreateFileA(interfacePath.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            takeLastError();
            return nullptr;
        }
        return std::make_unique<WindowsControlHandle>(api_, h);
    }

    std::unique_ptr<HidReadHandle> openRead(const std::string& interfacePath) override {
        HANDLE h =
            ::CreateFileA(interfacePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            takeLastError();
            return nullptr;
        }
        return std::make_unique<WindowsReadHandle>(h);
    }

    ErrorCode lastError() const override { return tlsLastError; }

    std::string errorText(ErrorCode code) const override {
        char* text = nullptr;
        const DWORD n =
            ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        std::string result = n && text ? std::string(text, n) : "error " + std::to_string(code);
        if (text)
            ::LocalFree(text);
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                                   result.back() == ' ' || result.back() == '.'))
            result.pop_back();
        return result;
    }

    std::unique_ptr<HidChangeNotifier> watchDeviceChanges(std::function<void()> onChange) override {
        if (!available_)
            return nullptr;
        auto notifier = std::make_unique<WindowsChangeNotifier>(std::move(onChange));
        if (!notifier->valid()) {
            takeLastError();
            return nullptr;
        }
        return notifier;
    }

private:
    HidApi api_;
    bool available_ = false;
    GUID classGuid_ = kHidInterfaceClass;
};

} // namespace

std::unique_ptr<HidPlatform> createNativeHidPlatform() {
    return std::make_unique<WindowsHidPlatform>();
}

} // namespace hq::platform
