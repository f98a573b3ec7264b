// The operating system's own HID backend: hidraw and udev on Linux, hid.dll and setupapi.dll
// on Windows. The build chooses the implementation for the target system.
#pragma once

#include "platform/hid_platform.h"

#include <memory>

namespace hq::platform {

// A new instance of this system's HID platform. Never null; on a system whose HID support
// cannot be bound, available() is false and enumerations find nothing.
std::unique_ptr<HidPlatform> createNativeHidPlatform();

} // namespace hq::platform
