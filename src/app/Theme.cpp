#include "app/Theme.h"

#include <QApplication>
#include <QFile>
#include <QIcon>

#include <mutex>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initDorvexResources() { Q_INIT_RESOURCE(dorvex); }

namespace dorvex::app {

void ensureResources()
{
    // The bundle lives in a static library, where nothing else would pull it in.
    static std::once_flag once;
    std::call_once(once, initDorvexResources);
}

void applyTheme(QApplication& app)
{
    ensureResources();
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/app.svg")));
    QFile sheet(QStringLiteral(":/theme.qss"));
    if (!sheet.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    app.setStyleSheet(QString::fromUtf8(sheet.readAll()));
}

}  // namespace dorvex::app
