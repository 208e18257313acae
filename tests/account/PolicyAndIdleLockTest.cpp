#include "AccountFixture.h"

#include "core/IdleLockSettings.h"
#include "core/PasswordPolicy.h"
#include "core/SealedFile.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

using dorvex::core::IdleLockSettings;
using dorvex::core::PasswordPolicy;

namespace {

const QString kLength = QStringLiteral("Must be at least 12 characters.");
const QString kUpper = QStringLiteral("Must include at least one uppercase letter.");
const QString kLower = QStringLiteral("Must include at least one lowercase letter.");
const QString kDigit = QStringLiteral("Must include at least one number.");
const QString kSymbol = QStringLiteral("Must include at least one symbol (e.g. !@#$%).");

struct PolicyCase {
    const char* name;
    QString password;
    QString expected;
};

}  // namespace

TEST(PasswordPolicy, FirstUnmetRequirementDecides)
{
    const PolicyCase cases[] = {
        {"exactly twelve, one of each", QStringLiteral("Abcdefghij1!"), QString()},
        {"eleven units whatever the content", QStringLiteral("Abcdefghi1!"), kLength},
        {"empty", QString(), kLength},
        {"no uppercase though nothing else lacks", QStringLiteral("abcdefghij1!x"), kUpper},
        {"no uppercase and no digit reports uppercase", QStringLiteral("abcdefghijk!"), kUpper},
        {"no lowercase", QStringLiteral("ABCDEFGHIJ1!"), kLower},
        {"no digit", QStringLiteral("Abcdefghijk!"), kDigit},
        {"no symbol", QStringLiteral("Abcdefghijk1"), kSymbol},
        {"space is a symbol", QStringLiteral("Abcdefghij 1"), QString()},
        {"accented capital and small letters", QString::fromUtf8("\xC3\x80\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" "1!"), QString()},
        {"Arabic-Indic digit counts as a digit", QString::fromUtf8("Abcdefghijk!\xD9\xA3"), QString()},
        {"title-case letter is a symbol", QString::fromUtf8("Abcdefghijk1\xC7\x85"), QString()},
        {"astral character is two symbol units", QString::fromUtf8("Abcdefghi1\xF0\x9F\x98\x80"), QString()},
        {"astral character alone is no uppercase", QString::fromUtf8("abcdefghi1\xF0\x9F\x98\x80"), kUpper},
    };
    for (const PolicyCase& c : cases)
        EXPECT_EQ(PasswordPolicy::describeWeakness(c.password), c.expected) << c.name;
}

TEST(IdleLockSettings, ClampsOnWriteAndReadAndDefaultsOnDamage)
{
    const QString dir = dorvex::test::makeScratchDir();
    const QString path = dir + QStringLiteral("/idlelock.dat");
    IdleLockSettings settings(path);

    EXPECT_EQ(settings.timeoutMinutes(), 15);
    ASSERT_TRUE(settings.writeTimeoutMinutes(-5));
    EXPECT_EQ(settings.timeoutMinutes(), 0);
    ASSERT_TRUE(settings.setTimeoutMinutes(5000));
    EXPECT_EQ(settings.timeoutMinutes(), 1440);
    ASSERT_TRUE(settings.setTimeoutMinutes(7));
    EXPECT_EQ(settings.timeoutMinutes(), 7);

    // The payload is readable text: the compact object with the one key.
    EXPECT_TRUE(dorvex::test::readFile(path).endsWith("{\"timeoutMinutes\":7}"));

    QFile::remove(path + QStringLiteral(".key"));
    EXPECT_EQ(settings.timeoutMinutes(), 15);
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(settings.timeoutMinutes(), 15);
}

TEST(IdleLockSettings, FailedWriteKeepsThePreviousFile)
{
    const QString dir = dorvex::test::makeScratchDir();
    const QString path = dir + QStringLiteral("/idlelock.dat");
    IdleLockSettings settings(path);
    ASSERT_TRUE(settings.setTimeoutMinutes(30));
    {
        dorvex::test::ReadOnlyFolder guard(dir);
        MURRAVO_REQUIRE_READ_ONLY(guard);
        EXPECT_FALSE(settings.setTimeoutMinutes(2));
    }
    EXPECT_EQ(settings.timeoutMinutes(), 30);
}

TEST(IdleLockSettings, StoredValuesAreClampedOrDefaulted)
{
    const struct {
        const char* name;
        QJsonObject stored;
        int expected;
    } table[] = {
        {"above the range", QJsonObject{{QStringLiteral("timeoutMinutes"), 99999}}, 1440},
        {"below the range", QJsonObject{{QStringLiteral("timeoutMinutes"), -1}}, 0},
        {"never", QJsonObject{{QStringLiteral("timeoutMinutes"), 0}}, 0},
        {"key missing", QJsonObject{{QStringLiteral("minutes"), 3}}, 15},
        {"not a number", QJsonObject{{QStringLiteral("timeoutMinutes"), QStringLiteral("3")}}, 15},
    };
    for (const auto& row : table) {
        const QString path = dorvex::test::makeScratchDir() + QStringLiteral("/idlelock.dat");
        ASSERT_TRUE(dorvex::core::SealedFile::writeAuthenticated(path, row.stored));
        EXPECT_EQ(IdleLockSettings(path).timeoutMinutes(), row.expected) << row.name;
    }
}
