#include "app/Platform.h"

#include <QByteArray>
#include <QFile>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <syslog.h>

namespace dorvex::app::platform {

void hardenProcess()
{
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
}

void openSystemLog(const char* identifier)
{
    // openlog keeps the pointer: the identifier must outlive the process's logging.
    openlog(identifier, LOG_PID, LOG_USER);
}

void writeSystemLog(LogLevel level, const QByteArray& utf8Text)
{
    int priority = LOG_DEBUG;
    switch (level) {
    case LogLevel::Debug: priority = LOG_DEBUG; break;
    case LogLevel::Info: priority = LOG_INFO; break;
    case LogLevel::Notice: priority = LOG_NOTICE; break;
    case LogLevel::Error: priority = LOG_ERR; break;
    }
    syslog(priority, "%s", utf8Text.constData());
}

void excludeWindowFromScreenCapture(unsigned long long)
{
    // Neither X11 nor Wayland offers a per-window capture exclusion.
}

bool debuggerAttached()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    while (!status.atEnd()) {
        const QByteArray line = status.readLine();
        if (line.startsWith("TracerPid:"))
            return line.mid(10).trimmed().toLongLong() != 0;
    }
    return false;
}

}  // namespace dorvex::app::platform
