#pragma once

#include "crypto/PasswordHasher.h"

#include <QApplication>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <functional>

namespace dorvex::test {

// The fresh folder that stands in for the home directory of this test process.
[[nodiscard]] QString scratchHome();

// A new empty folder below the scratch home.
[[nodiscard]] QString makeScratchDir(const QString& name = QString());

// Argon2id runs at a cheap cost in tests; this guard restores the real cost while it lives.
class RealArgonCost {
public:
    RealArgonCost();
    ~RealArgonCost();
    RealArgonCost(const RealArgonCost&) = delete;
    RealArgonCost& operator=(const RealArgonCost&) = delete;
};

// Argon2id at the given cost while it lives (for a memory cost a test can make unobtainable).
class ArgonCost {
public:
    ArgonCost(unsigned long long opsLimit, std::size_t memLimit);
    ~ArgonCost();
    ArgonCost(const ArgonCost&) = delete;
    ArgonCost& operator=(const ArgonCost&) = delete;

private:
    crypto::detail::ArgonCost cost_;
    const crypto::detail::ArgonCost* previous_;
};

// Runs `action` on the first visible top-level widget of type T (optionally with the given
// object name) as soon as one appears; for driving modal dialogs from a test.
template <typename T>
void whenShown(std::function<void(T*)> action, const QString& objectName = QString(), int timeoutMs = 5000);

// Closes any modal or top-level widget a failed test left open.
void closeStrayWidgets();

}  // namespace dorvex::test

#include "TestSupport.inl"
