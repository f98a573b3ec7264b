// Checks of the Windows HID backend, run under Wine by the MinGW stage of scripts/test: Wine
// offers HID interfaces of its own (a virtual mouse and keyboard) through hid.dll and
// setupapi.dll, enough to drive enumeration, queries, the overlapped read with its alertable
// wait and cancellation from another thread, and the device-change window.
// Prints one CHECK line per check; exit code 0 when all passed.
#include "platform/hid_native.h"

#include <windows.h>

#include <dbt.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace hq::platform;

namespace {

int failures = 0;

bool check(bool ok, const std::string& what, const std::string& detail = {}) {
    std::printf("CHECK %-4s %s%s%s\n", ok ? "ok" : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
    if (!ok)
        ++failures;
    return ok;
}

void pumpMessages() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

} // namespace

int main() {
    const auto platform = createNativeHidPlatform();
    if (!check(platform->available(), "hid.dll and setupapi.dll bound"))
        return 1;

    // A path that names no interface.
    const auto none =
        platform->openControl("\\\\?\\hid#vid_0000&pid_0000#none", HidAccess::QueryOnly);
    const ErrorCode noneError = platform->lastError();
    check(!none && noneError != 0 && !platform->errorText(noneError).empty(),
          "unknown path refused with an error code",
          std::to_string(noneError) + " " + platform->errorText(noneError));

    const auto interfaces = platform->enumerate();
    check(true, "enumeration", std::to_string(interfaces.size()) + " interface(s)");
    const HidInterfaceInfo* readable = nullptr;
    HidCaps readableCaps;
    for (const auto& info : interfaces) {
        auto handle = platform->openControl(info.interfacePath, HidAccess::QueryOnly);
        HidAttributes a;
        HidCaps caps;
        std::unique_ptr<HidPreparsedData> preparsed;
        const bool ok = handle && handle->getAttributes(a) &&
                        (preparsed = handle->getPreparsedData()) && preparsed->getCaps(caps);
        char id[32];
        std::snprintf(id, sizeof id, "%04X:%04X", a.vendorId, a.productId);
        for (const auto& other : interfaces)
            if (&other != &info && other.devInst == info.devInst)
                check(false, "device instances differ", info.interfacePath);
        check(ok && !info.properties.hardwareIds.empty(),
              "query-only handle: attributes, capabilities, properties",
              std::string(id) + ", input " + std::to_string(caps.inputReportByteLength) +
                  ", hardware id " +
                  (info.properties.hardwareIds.empty() ? "none" : info.properties.hardwareIds[0]));
        if (ok && caps.inputReportByteLength > 0 && !readable) {
            readable = &info;
            readableCaps = caps;
        }
    }

    if (readable) {
        auto reader = platform->openRead(readable->interfacePath);
        if (check(reader != nullptr, "read handle opened (overlapped)")) {
            std::vector<std::uint8_t> buffer(readableCaps.inputReportByteLength);
            check(reader->startRead(buffer), "read started (ReadFileEx)");
            // Another thread cancels while this one waits alertably.
            std::thread canceller([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                reader->cancel();
            });
            const auto t0 = std::chrono::steady_clock::now();
            bool completed = false;
            for (int i = 0; i < 50 && !completed; ++i)
                completed = reader->waitForCompletion(std::chrono::milliseconds(100));
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - t0)
                                .count();
            canceller.join();
            check(completed && ms < 3000, "cancel from another thread ends the wait",
                  std::to_string(ms) + " ms");
            std::uint32_t count = 0;
            const bool got = reader->takeReadCount(count);
            check(!got && platform->lastError() == ERROR_OPERATION_ABORTED,
                  "cancelled read yields no data", std::to_string(platform->lastError()));
            check(reader->startRead(buffer), "next read started after the cancellation");
            check(!reader->waitForCompletion(std::chrono::milliseconds(50)),
                  "a wait slice without input returns false");
            reader.reset(); // destroyed with the read outstanding
            check(true, "read handle destroyed with a read outstanding");
        }
    } else {
        check(true, "no interface with input reports: read checks skipped");
    }

    // The hidden window receives the device-node broadcast.
    int changes = 0;
    auto notifier = platform->watchDeviceChanges([&] { ++changes; });
    check(notifier != nullptr && notifier->pollDescriptor() == -1, "device-change window created");
    // The system announces device changes of its own (a fresh Wine prefix installs its virtual
    // devices for a while): wait until it has been quiet for half a second, then count.
    for (int quiet = 0, waited = 0; quiet < 10 && waited < 200; ++waited) {
        const int before = changes;
        ::Sleep(50);
        pumpMessages();
        quiet = changes == before ? quiet + 1 : 0;
    }
    if (changes)
        std::printf("(%d device changes of the system before the check)\n", changes);
    changes = 0;
    DWORD_PTR result = 0;
    ::SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                          SMTO_ABORTIFHUNG, 2000, &result);
    ::SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, SMTO_ABORTIFHUNG,
                          2000, &result);
    pumpMessages();
    check(changes == 1, "DBT_DEVNODES_CHANGED reaches the callback, other codes do not",
          std::to_string(changes));
    notifier.reset();
    ::SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0,
                          SMTO_ABORTIFHUNG, 2000, &result);
    pumpMessages();
    check(changes == 1, "no callback after the notifier is gone");

    std::printf("WINDOWS-CHECK-RESULT: %s (%d failed)\n", failures ? "FAIL" : "PASS", failures);
    return failures ? 1 : 0;
}
