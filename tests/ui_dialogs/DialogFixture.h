#pragma once

#include "TestSupport.h"

#include "core/AuthManager.h"
#include "core/Clock.h"
#include "core/TwoFactorManager.h"
#include "crypto/SecureBuffer.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace dialogs_test {

inline const QString kPassword = QStringLiteral("Correct-Horse-42!");

// Frozen wall clock, so cooldowns and TOTP steps do not move under a test.
inline std::int64_t g_nowMs = 1'900'000'000'000;
inline std::int64_t frozenNow() { return g_nowMs; }

// One data folder per test with the account's managers on it.
class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dorvex::core::Clock::setSource(&frozenNow);
        dataDir = dorvex::test::makeScratchDir();
        auth = std::make_unique<dorvex::core::AuthManager>(dataDir + QStringLiteral("/identity.dat"));
        twoFactor = std::make_unique<dorvex::core::TwoFactorManager>(dataDir + QStringLiteral("/twofactor.dat"));
    }
    void TearDown() override
    {
        dorvex::test::closeStrayWidgets();
        dorvex::core::Clock::setSource(nullptr);
    }

    // Creates the account and returns its password key.
    dorvex::crypto::SecureBuffer createAccount()
    {
        std::optional<dorvex::crypto::SecureBuffer> key =
            auth->createIdentity(QStringLiteral("alice"), kPassword.toStdString());
        EXPECT_TRUE(key.has_value());
        return key ? std::move(*key) : dorvex::crypto::SecureBuffer();
    }

    template <typename T = QWidget>
    static T* child(QWidget* parent, const char* name)
    {
        T* found = parent->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QString dataDir;
    std::unique_ptr<dorvex::core::AuthManager> auth;
    std::unique_ptr<dorvex::core::TwoFactorManager> twoFactor;
};

}  // namespace dialogs_test
