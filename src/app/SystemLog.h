#pragma once

#include <QtGlobal>

namespace dorvex::app {

inline constexpr char kLogIdentifier[] = "com.brindleoak.murravo";

// Opens the system log and routes every Qt message to it.
void installLogHandler();

// The Qt message handler: text only, level mapped, context dropped.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

}  // namespace dorvex::app
