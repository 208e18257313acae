#pragma once

#include <QString>

namespace dorvex::core {

// The one rule for master passwords, shared by account creation, the password change and the
// dialogs, so the model enforces exactly what the interface explains.
class PasswordPolicy {
public:
    static constexpr int kMinimumLength = 12;

    // Empty when acceptable, otherwise the first unmet requirement as one sentence.
    [[nodiscard]] static QString describeWeakness(const QString& password);
};

}  // namespace dorvex::core
