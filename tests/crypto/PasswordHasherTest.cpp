#include "crypto/PasswordHasher.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using dorvex::crypto::PasswordHasher;

TEST(PasswordHasher, VerifierRoundTripAndDamage)
{
    for (const std::string password : {"", "correct horse battery staple", "pässwörd"}) {
        SCOPED_TRACE(password);
        const std::string verifier = PasswordHasher::hashForStorage(password);
        ASSERT_TRUE(verifier.rfind("$argon2id$v=19$", 0) == 0);
        EXPECT_TRUE(PasswordHasher::verify(verifier, password));
        EXPECT_FALSE(PasswordHasher::verify(verifier, password + "x"));
        EXPECT_FALSE(PasswordHasher::verify(verifier.substr(0, verifier.size() - 3), password));
        std::string altered = verifier;
        altered[altered.size() - 2] = altered[altered.size() - 2] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(PasswordHasher::verify(altered, password));
    }
    EXPECT_FALSE(PasswordHasher::verify("", "x"));
    EXPECT_FALSE(PasswordHasher::verify(std::string(300, '$'), "x"));
    EXPECT_FALSE(PasswordHasher::verify(std::string("$argon2id\0junk", 14), "x"));
}

// verify recomputes the hash from the verifier's own parameters, whatever cost wrote it.
TEST(PasswordHasher, VerifierOfAnotherCostStillVerifies)
{
    const struct {
        unsigned long long ops;
        std::size_t mem;
    } table[] = {{1, 8192}, {2, 16384}, {4, 65536}};
    for (const auto& row : table) {
        std::string verifier;
        {
            dorvex::test::ArgonCost cost(row.ops, row.mem);
            verifier = PasswordHasher::hashForStorage("pw");
        }
        EXPECT_NE(verifier.find("m=" + std::to_string(row.mem / 1024) + ",t=" + std::to_string(row.ops)),
                  std::string::npos)
            << verifier;
        EXPECT_TRUE(PasswordHasher::verify(verifier, "pw")) << verifier;
        EXPECT_FALSE(PasswordHasher::verify(verifier, "pW")) << verifier;
    }
}

TEST(PasswordHasher, DerivationIsDeterministicPerSalt)
{
    const auto salt = PasswordHasher::generateSalt();
    ASSERT_EQ(salt.size(), 16u);
    auto other = salt;
    other[0] ^= 1;
    const auto k1 = PasswordHasher::deriveKey("pw", salt, 32);
    EXPECT_EQ(k1.size(), 32u);
    EXPECT_TRUE(k1.equals(PasswordHasher::deriveKey("pw", salt, 32)));
    EXPECT_FALSE(k1.equals(PasswordHasher::deriveKey("pw", other, 32)));
    EXPECT_FALSE(k1.equals(PasswordHasher::deriveKey("pW", salt, 32)));
    EXPECT_EQ(PasswordHasher::deriveKey("", salt, 32).size(), 32u);
}

TEST(PasswordHasher, WrongSaltLengthThrowsBeforeHashing)
{
    for (std::size_t n : {0u, 15u, 17u}) {
        try {
            (void)PasswordHasher::deriveKey("pw", std::vector<unsigned char>(n), 32);
            ADD_FAILURE() << n;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "PasswordHasher::deriveKey: salt must be kSaltBytes long");
        }
    }
}

// The only test that pays the real cost (about a second per call).
TEST(PasswordHasher, RealCostParameters)
{
    dorvex::test::RealArgonCost real;
    const std::string verifier = PasswordHasher::hashForStorage("real cost");
    EXPECT_EQ(verifier.rfind("$argon2id$v=19$m=262144,t=3,p=1$", 0), 0u) << verifier;
    EXPECT_TRUE(PasswordHasher::verify(verifier, "real cost"));
}

TEST(PasswordHasher, TestsRunAtTheCheapCost)
{
    const std::string verifier = PasswordHasher::hashForStorage("cheap");
    EXPECT_EQ(verifier.rfind("$argon2id$v=19$m=8,t=1,p=1$", 0), 0u) << verifier;
    // A verifier of another cost still verifies: it carries its own parameters.
    dorvex::test::RealArgonCost real;
    EXPECT_TRUE(PasswordHasher::verify(verifier, "cheap"));
}
