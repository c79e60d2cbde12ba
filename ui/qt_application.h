#pragma once

namespace pixolune::ui {

// Makes sure a QApplication exists on the calling thread. A host without Qt
// gets one at its first configuration, kept until the library is unloaded:
// the web engine cannot start a second time once its application object is
// gone. A host with its own QApplication keeps it. False when the process
// already has a Qt application object that cannot show widgets or that lives
// on another thread, or when no display can be reached (Qt would end the host
// process); the reason is logged.
[[nodiscard]] bool EnsureQtApplication();

}  // namespace pixolune::ui
