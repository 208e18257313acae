#pragma once

namespace dorvex::app {

// Wipes every registered secret on a crash or termination signal, then lets the
// signal take its default course.
void installCrashHandler();

}  // namespace dorvex::app
