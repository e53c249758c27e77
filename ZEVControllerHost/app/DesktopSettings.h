#pragma once

#include <string>

namespace jolto {

// Opens what a settings anchor of the views stands for on this desktop, without waiting:
//   "Privacy_Accessibility"  the help on input access (/dev/uinput and /dev/uhid);
//   "Privacy_ScreenCapture"  the desktop's sound settings, else the help on audio rumble.
// Anything else opens nothing. Returns whether something was started.
bool openDesktopSettings(const std::string& anchor);

} // namespace jolto
