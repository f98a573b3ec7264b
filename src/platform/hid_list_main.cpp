// hq-hid-list: lists the HID interfaces the operating system's backend finds, with identity,
// strings, report lengths and whether read-write access is granted. A first check on a PC
// where the monitor does not see the cabinet. Exit code 0, or 1 when the HID support of the
// system cannot be bound.
#include "platform/hid_native.h"

#include <cstdio>
#include <string>

namespace {

std::string narrow(const char16_t* text) {
    std::string out;
    for (; *text; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

} // namespace

int main() {
    using namespace hq::platform;
    const auto platform = createNativeHidPlatform();
    if (!platform->available()) {
        std::printf("HID support of this system is not available\n");
        return 1;
    }
    const auto interfaces = platform->enumerate();
    std::printf("%zu HID interface(s)\n", interfaces.size());
    for (const auto& info : interfaces) {
        std::printf("%s\n", info.interfacePath.c_str());
        auto handle = platform->openControl(info.interfacePath, HidAccess::ReadWrite);
        const bool readWrite = handle != nullptr;
        const ErrorCode openError = readWrite ? 0 : platform->lastError();
        if (!handle)
            handle = platform->openControl(info.interfacePath, HidAccess::QueryOnly);
        if (!handle) {
            std::printf("  cannot be opened: %s\n", platform->errorText(openError).c_str());
            continue;
        }
        HidAttributes a;
        if (handle->getAttributes(a))
            std::printf("  vendor %04X product %04X version %04X\n", a.vendorId, a.productId,
                        a.versionNumber);
        char16_t text[127] = {};
        if (handle->getProductString(text))
            std::printf("  product \"%s\"\n", narrow(text).c_str());
        if (handle->getSerialNumberString(text))
            std::printf("  serial  \"%s\"\n", narrow(text).c_str());
        HidCaps caps;
        if (const auto preparsed = handle->getPreparsedData();
            preparsed && preparsed->getCaps(caps))
            std::printf("  reports: input %u, output %u, feature %u bytes\n",
                        caps.inputReportByteLength, caps.outputReportByteLength,
                        caps.featureReportByteLength);
        if (readWrite)
            std::printf("  read-write access\n");
        else
            std::printf("  query-only: %s\n", platform->errorText(openError).c_str());
    }
    return 0;
}
