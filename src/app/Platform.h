#pragma once

#include <QString>

// The operating-system seam of the application helpers. Each platform supplies one
// implementation (src/app/linux/ here); callers never reach the system directly.
namespace dorvex::app::platform {

enum class LogLevel { Debug, Info, Notice, Error };

// Makes the process undumpable and untraceable by same-user processes; no core files.
void hardenProcess();

// Opens the system log once under the given identifier; later writes go there.
void openSystemLog(const char* identifier);
void writeSystemLog(LogLevel level, const QByteArray& utf8Text);

// Keeps a window out of screen capture where the platform can; no-op elsewhere.
void excludeWindowFromScreenCapture(unsigned long long nativeWindowId);

// True when a debugger or tracer is attached to this process.
[[nodiscard]] bool debuggerAttached();

}  // namespace dorvex::app::platform
