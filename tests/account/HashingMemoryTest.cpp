// Argon2id that cannot obtain its memory says nothing about the password: the sign-in must
// say so, charge nothing, and the same password must work once memory is there again. Each
// case runs in a forked child (one thread) under a real address-space limit, so the failure
// comes from libsodium's own allocation, not from a stand-in.
#include "AccountFixture.h"
#include "AddressSpaceLimit.h"

#include "core/AuthManager.h"
#include "core/SealedFile.h"

#include <QFile>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

using dorvex::core::AuthManager;
using dorvex::core::LoginFailureReason;
using dorvex::crypto::SecureBuffer;
using dorvex::test::AddressSpaceLimit;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;
const std::string kPassword = "Correct-Horse-9";
const std::string kWrong = "Wrong-Password-1";

// The checks of one child; what failed travels back to the parent as text.
class Report {
public:
    void check(bool ok, const std::string& what)
    {
        if (!ok)
            text_ += what + "; ";
    }
    [[nodiscard]] const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Runs the scenario in a forked child and returns what it reported (empty: every check held).
std::string inChild(const std::function<void(Report&)>& scenario)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child < 0)
        return "fork failed";
    if (child == 0) {
        close(fds[0]);
        Report report;
        try {
            scenario(report);
        } catch (const std::exception& e) {
            report.check(false, std::string("threw: ") + e.what());
        } catch (...) {
            report.check(false, "threw");
        }
        const std::string& text = report.text();
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        text += "child ended abnormally (status " + std::to_string(status) + ")";
    return text;
}

int storedFailedCount(const QString& lockoutPath)
{
    const auto read = dorvex::core::SealedFile::readAuthenticated(lockoutPath, dorvex::core::SealedKeySource::Load);
    return read.ok() ? read.object.value(QStringLiteral("failedCount")).toInt(-1) : -1;
}

}  // namespace

TEST(HashingMemory, SignInWithoutArgonMemoryIsReportedAndNotCharged)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit does not combine with the address sanitizer's reservations";
#endif
    // verifierMiB: the cost the verifier is written with; deriveMiB: the derivation cost at
    // sign-in; the limit leaves room for the smaller one only where the row says so.
    const struct {
        const char* name;
        std::size_t verifierMiB;
        std::size_t deriveMiB;
        std::size_t headroomMiB;
    } table[] = {
        {"verifying the password", 64, 64, 32},
        {"deriving the key after the password verified", 16, 256, 64},
    };
    for (const auto& row : table) {
        dorvex::test::FakeClock clock;
        const QString path = dorvex::test::makeScratchDir() + QStringLiteral("/identity.dat");
        SecureBuffer passwordKey;
        {
            dorvex::test::ArgonCost cost(1, row.verifierMiB * kMiB);
            auto key = AuthManager(path).createIdentity(QStringLiteral("alice"), kPassword);
            ASSERT_TRUE(key) << row.name;
            passwordKey = std::move(*key);
        }
        const std::string failed = inChild([&](Report& report) {
            dorvex::test::ArgonCost cost(1, row.verifierMiB * kMiB);
            AuthManager auth(path);
            LoginFailureReason reason{};
            // Five charged failures: one more charge would start a cooldown.
            for (int i = 0; i < 5; ++i)
                report.check(!auth.login(kWrong, true, QString(), nullptr, &reason), "wrong password signed in");
            report.check(storedFailedCount(path + QStringLiteral(".lockout")) == 5, "five failures not stored");
            {
                dorvex::test::ArgonCost derivation(1, row.deriveMiB * kMiB);
                AddressSpaceLimit limit(row.headroomMiB * kMiB);
                report.check(limit.active(), "could not limit the address space");
                reason = LoginFailureReason::WrongPassword;
                const auto key = auth.login(kPassword, true, QString(), nullptr, &reason);
                report.check(!key, "signed in without the memory");
                report.check(reason == LoginFailureReason::OutOfMemory,
                             "reason " + std::to_string(static_cast<int>(reason)) + " instead of OutOfMemory");
            }
            report.check(storedFailedCount(path + QStringLiteral(".lockout")) == 5, "the attempt was charged");
            report.check(auth.secondsUntilNextLoginAttemptAllowed() == 0, "a cooldown started");
            const auto key = auth.login(kPassword, true, QString(), nullptr, &reason);
            report.check(key.has_value(), "the right password failed afterwards, reason "
                                              + std::to_string(static_cast<int>(reason)));
            report.check(key && key->equals(passwordKey), "another key came back");
        });
        EXPECT_EQ(failed, "") << row.name;
    }
}

TEST(HashingMemory, SignInWhereOnlyOneArgon2idFitsAtATimeStillSucceeds)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit does not combine with the address sanitizer's reservations";
#endif
    // The verification and the derivation run at once; where memory holds only one of them,
    // the sign-in must still work as it does when they run one after the other.
    const QString path = dorvex::test::makeScratchDir() + QStringLiteral("/identity.dat");
    SecureBuffer passwordKey;
    {
        dorvex::test::ArgonCost cost(1, 64 * kMiB);
        auto key = AuthManager(path).createIdentity(QStringLiteral("alice"), kPassword);
        ASSERT_TRUE(key);
        passwordKey = std::move(*key);
    }
    const std::string failed = inChild([&](Report& report) {
        dorvex::test::ArgonCost cost(1, 64 * kMiB);
        AuthManager auth(path);
        AddressSpaceLimit limit(100 * kMiB);
        report.check(limit.active(), "could not limit the address space");
        LoginFailureReason reason = LoginFailureReason::WrongPassword;
        const auto key = auth.login(kPassword, true, QString(), nullptr, &reason);
        report.check(key.has_value(), "no sign-in, reason " + std::to_string(static_cast<int>(reason)));
        report.check(key && key->equals(passwordKey), "another key came back");
        report.check(!auth.login(kWrong, true, QString(), nullptr, &reason) && reason == LoginFailureReason::WrongPassword,
                     "a wrong password was not told apart, reason " + std::to_string(static_cast<int>(reason)));
    });
    EXPECT_EQ(failed, "");
}

TEST(HashingMemory, AccountCreationWithoutArgonMemoryIsReportedAndWritesNothing)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit does not combine with the address sanitizer's reservations";
#endif
    const QString path = dorvex::test::makeScratchDir() + QStringLiteral("/identity.dat");
    const std::string failed = inChild([&](Report& report) {
        dorvex::test::ArgonCost cost(1, 64 * kMiB);
        AuthManager auth(path);
        {
            AddressSpaceLimit limit(32 * kMiB);
            report.check(limit.active(), "could not limit the address space");
            bool outOfMemory = false;
            report.check(!auth.createIdentity(QStringLiteral("alice"), kPassword, &outOfMemory),
                         "created without the memory");
            report.check(outOfMemory, "not reported as lack of memory");
        }
        report.check(!QFile::exists(path), "an identity file was written");
        bool outOfMemory = true;
        report.check(auth.createIdentity(QStringLiteral("alice"), kPassword, &outOfMemory).has_value(),
                     "creation failed once memory was there");
        report.check(!outOfMemory, "success reported as lack of memory");
    });
    EXPECT_EQ(failed, "");
}
