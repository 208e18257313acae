#include "app/PlatformWording.h"

#include <QCoreApplication>

namespace dorvex::app {

QString platformWording(Wording wording)
{
    for (std::size_t i = 0; i < detail::kPlatformWordingCount; ++i) {
        if (detail::kPlatformWordings[i].wording == wording)
            return QCoreApplication::translate("PlatformWording", detail::kPlatformWordings[i].text);
    }
    return QString();
}

}  // namespace dorvex::app
