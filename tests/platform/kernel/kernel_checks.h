// The groups of checks the kernel test runs inside the qemu-booted system.
#pragma once

#include <QString>

namespace hq::kerneltest {

class Checker;

// hq3746ctl (at exe) as a separate process against uhid cabinets.
void runCliChecks(Checker& check, const QString& exe);

// The monitor window's libraries in this process, offscreen, on the Linux backend, against the
// cabinet the parent process plugged in. Returns the process exit code.
int runMonitorChecks(int argc, char** argv);

} // namespace hq::kerneltest
