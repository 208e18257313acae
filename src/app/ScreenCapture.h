#pragma once

namespace dorvex::app {

// Keeps the window with this native id out of screenshots and screen recordings where the
// platform allows it. Every window and dialog calls it from its showEvent.
void excludeWindowFromScreenCapture(unsigned long long nativeWindowId);

}  // namespace dorvex::app
