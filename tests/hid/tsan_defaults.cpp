// Default ThreadSanitizer options of the HID link tests (TSAN_OPTIONS adds to them). Debian's
// Qt is not instrumented: calls that Qt's own code makes into the runtime (allocation, pthread
// waits of the test watchdog) carry no information about our code and are left out.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}
