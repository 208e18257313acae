#include "core/Clock.h"

namespace dorvex::core {

namespace {
Clock::Source g_source = nullptr;
}

std::int64_t Clock::nowMsecsSinceEpoch()
{
    return g_source != nullptr ? g_source() : QDateTime::currentMSecsSinceEpoch();
}

std::int64_t Clock::nowSecsSinceEpoch()
{
    const std::int64_t ms = nowMsecsSinceEpoch();
    // Floor, also for instants before the epoch.
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

QDateTime Clock::nowUtc() { return QDateTime::fromMSecsSinceEpoch(nowMsecsSinceEpoch(), Qt::UTC); }

void Clock::setSource(Source source) { g_source = source; }

}  // namespace dorvex::core
