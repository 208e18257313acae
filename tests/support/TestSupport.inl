#pragma once

#include <QElapsedTimer>
#include <QTimer>

namespace dorvex::test {

namespace detail {
void pollUntil(std::function<bool()> attempt, int timeoutMs);
}

template <typename T>
void whenShown(std::function<void(T*)> action, const QString& objectName, int timeoutMs)
{
    detail::pollUntil(
        [action, objectName]() {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* typed = qobject_cast<T*>(w);
                if (typed == nullptr || !typed->isVisible())
                    continue;
                if (!objectName.isEmpty() && typed->objectName() != objectName)
                    continue;
                action(typed);
                return true;
            }
            return false;
        },
        timeoutMs);
}

}  // namespace dorvex::test
