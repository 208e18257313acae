#pragma once

#include <QString>

namespace dorvex::app {

// The machine identity string: the platform's machine identifier in hex, or a UUID kept
// in a fallback file when the platform has none.
class MachineId {
public:
    explicit MachineId(QString fallbackPath) : fallbackPath_(std::move(fallbackPath)) {}

    [[nodiscard]] QString get() const;

    // The platform identifier; a seam so the fallback path can be tested on machines that have one.
    static QByteArray (*platformIdentifier)();

private:
    QString fallbackPath_;
};

}  // namespace dorvex::app
