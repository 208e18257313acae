#pragma once

#include <QString>

namespace dorvex::core {

// Hidden flag of the vault file. On Linux a file is hidden when its name is listed in the
// ".hidden" file of its folder (the file managers' convention) or begins with a dot.
class FileProtection {
public:
    [[nodiscard]] static bool setHidden(const QString& path, bool hidden);
    [[nodiscard]] static bool isHidden(const QString& path);

    // No such restriction exists here: the first two do nothing and return true.
    [[nodiscard]] static bool restrictDeleteToAdministrators(const QString& path);
    [[nodiscard]] static bool clearDeleteRestriction(const QString& path);
    [[nodiscard]] static bool isDeleteRestricted(const QString& path);
};

}  // namespace dorvex::core
