#include "app/SystemLog.h"

#include "app/Platform.h"

#include <QString>

namespace dorvex::app {

void logMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    platform::LogLevel level = platform::LogLevel::Debug;
    switch (type) {
    case QtDebugMsg: level = platform::LogLevel::Debug; break;
    case QtInfoMsg: level = platform::LogLevel::Info; break;
    case QtWarningMsg: level = platform::LogLevel::Notice; break;
    case QtCriticalMsg:
    case QtFatalMsg: level = platform::LogLevel::Error; break;
    }
    platform::writeSystemLog(level, message.toUtf8());
}

void installLogHandler()
{
    platform::openSystemLog(kLogIdentifier);
    qInstallMessageHandler(logMessageHandler);
}

}  // namespace dorvex::app
