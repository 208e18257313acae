#include "app/ScreenCapture.h"

#include "app/Platform.h"

namespace dorvex::app {

void excludeWindowFromScreenCapture(unsigned long long nativeWindowId)
{
    platform::excludeWindowFromScreenCapture(nativeWindowId);
}

}  // namespace dorvex::app
