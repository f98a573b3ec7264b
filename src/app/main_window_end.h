// The program ends with its main window: once the monitor window has closed, the service window
// and every chart viewer close as well and the event loop ends, so that no top-level window (and
// no HID controller behind it) outlives the monitor window.
#pragma once

class QWidget;

namespace hq::app {

// Watches mainWindow; after it has been closed (and stays hidden), closes every other top-level
// window and ends the application's event loop.
void endWithMainWindow(QWidget& mainWindow);

} // namespace hq::app
