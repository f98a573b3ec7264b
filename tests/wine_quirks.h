// Where the tests run. The Windows build's tests run under Wine (scripts/check-windows), which
// differs from a real Windows PC in a few places; a test that depends on one of them says so
// and is skipped there, and docs/install.md lists them.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

namespace hq::test {

inline bool runningUnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

} // namespace hq::test
