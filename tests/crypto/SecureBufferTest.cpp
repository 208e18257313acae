#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <QString>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

using dorvex::crypto::CrashScrubRegistry;
using dorvex::crypto::SecureBuffer;
using dorvex::crypto::secureZero;

TEST(SecureBuffer, EmptyBufferOwnsNothing)
{
    SecureBuffer b(0);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.scrubSlot(), -1);
    b.release();
    b.release();
    EXPECT_EQ(b.scrubSlot(), -1);
}

TEST(SecureBuffer, MoveLeavesSourceEmptyAndKeepsSlot)
{
    SecureBuffer a(32);
    a.data()[0] = 0xAB;
    const int slot = a.scrubSlot();
    ASSERT_GE(slot, 0);
    SecureBuffer b(std::move(a));
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.scrubSlot(), -1);
    EXPECT_EQ(b.scrubSlot(), slot);
    EXPECT_EQ(b.data()[0], 0xAB);

    SecureBuffer c(16);
    const int cSlot = c.scrubSlot();
    c = std::move(b);
    EXPECT_EQ(c.size(), 32u);
    EXPECT_EQ(c.scrubSlot(), slot);
    // c's old slot was released by the assignment and is free again.
    SecureBuffer d(8);
    EXPECT_GE(d.scrubSlot(), 0);
    EXPECT_LE(d.scrubSlot(), cSlot);
}

TEST(SecureBuffer, SelfMoveAssignmentChangesNothing)
{
    SecureBuffer a(8);
    a.data()[3] = 7;
    unsigned char* before = a.data();
    SecureBuffer& alias = a;
    a = std::move(alias);
    EXPECT_EQ(a.data(), before);
    EXPECT_EQ(a.size(), 8u);
    EXPECT_EQ(a.data()[3], 7);
}

TEST(CrashScrubRegistry, FullTableRefusesAndReusesLowestFreedSlot)
{
    std::vector<std::unique_ptr<SecureBuffer>> held;
    // Fill every slot still free, whatever other tests left registered.
    for (int i = 0; i < CrashScrubRegistry::kSlots; ++i) {
        auto b = std::make_unique<SecureBuffer>(4);
        if (b->scrubSlot() < 0)
            break;
        held.push_back(std::move(b));
    }
    SecureBuffer overflow(4);
    EXPECT_EQ(overflow.scrubSlot(), -1) << "the 129th region must not get a slot";
    overflow.data()[0] = 1;  // still usable
    EXPECT_EQ(overflow.data()[0], 1);

    ASSERT_GE(held.size(), 3u);
    const int a = held[1]->scrubSlot();
    const int b = held[2]->scrubSlot();
    held[2]->release();
    held[1]->release();
    SecureBuffer next(4);
    EXPECT_EQ(next.scrubSlot(), std::min(a, b));
}

TEST(CrashScrubRegistry, RejectsNullZeroAndOutOfRangeSlots)
{
    int x = 0;
    EXPECT_EQ(CrashScrubRegistry::registerRegion(nullptr, 4), -1);
    EXPECT_EQ(CrashScrubRegistry::registerRegion(&x, 0), -1);
    CrashScrubRegistry::unregisterRegion(-1);
    CrashScrubRegistry::unregisterRegion(CrashScrubRegistry::kSlots);
}

TEST(CrashScrubRegistry, ScrubAllWipesRegisteredRegionsOnly)
{
    unsigned char secret[16];
    unsigned char other[16];
    std::fill(std::begin(secret), std::end(secret), 0x5A);
    std::fill(std::begin(other), std::end(other), 0x5A);
    const int slot = CrashScrubRegistry::registerRegion(secret, sizeof secret);
    ASSERT_GE(slot, 0);
    CrashScrubRegistry::scrubAll();
    CrashScrubRegistry::unregisterRegion(slot);
    for (unsigned char c : secret)
        EXPECT_EQ(c, 0);
    for (unsigned char c : other)
        EXPECT_EQ(c, 0x5A);
}

namespace {

template <typename Text>
bool allZero(const Text& text)
{
    for (auto c : text) {
        if (c != decltype(c){})
            return false;
    }
    return true;
}

// `typed` is built at run time: literal storage is never written, so it would hide the fault.
template <typename Text>
void expectSharedBuffersSurviveTheWipe(const Text& typed)
{
    using Derive = Text (*)(const Text&);
    const std::pair<const char*, Derive> derivations[] = {
        {"copy", [](const Text& t) { return t; }},
        {"trimmed with nothing to trim", [](const Text& t) { return t.trimmed(); }},
        {"left of its whole length", [](const Text& t) { return t.left(t.size()); }},
    };
    for (const auto& [name, derive] : derivations) {
        for (const bool wipeOriginal : {true, false}) {
            SCOPED_TRACE(std::string(name) + (wipeOriginal ? ", original wiped first" : ", derived wiped first"));
            Text original = typed;
            original.detach();
            Text derived = derive(original);
            ASSERT_TRUE(derived.data_ptr().isSharedWith(original.data_ptr()));
            Text& wiped = wipeOriginal ? original : derived;
            Text& kept = wipeOriginal ? derived : original;

            secureZero(wiped);
            EXPECT_EQ(kept, typed);
            EXPECT_FALSE(wiped.data_ptr().isSharedWith(kept.data_ptr()));

            // Now the only holder, the survivor is wiped where it lies.
            const auto* where = kept.constData();
            secureZero(kept);
            EXPECT_EQ(kept.constData(), where);
            EXPECT_EQ(kept.size(), typed.size());
            EXPECT_TRUE(allZero(kept));
        }
    }
}

}  // namespace

TEST(SecureZero, NeverWipesABufferAnotherObjectShares)
{
    {
        SCOPED_TRACE("QString");
        expectSharedBuffersSurviveTheWipe(QString::number(20240517) + QString::fromLatin1("-JBSWY3DPEHPK3PXP"));
    }
    {
        SCOPED_TRACE("QByteArray");
        expectSharedBuffersSurviveTheWipe(QByteArray::number(20240517) + QByteArray("-Correct-Horse-42!"));
    }
}

TEST(SecureZero, WipesInPlaceAndKeepsLength)
{
    std::string shortString = "hunter2";  // in-object storage
    secureZero(shortString);
    EXPECT_EQ(shortString.size(), 7u);
    EXPECT_EQ(shortString, std::string(7, '\0'));

    std::string longString(100, 'x');
    secureZero(longString);
    EXPECT_EQ(longString, std::string(100, '\0'));

    QByteArray bytes("secret bytes");
    const char* where = bytes.constData();
    secureZero(bytes);
    EXPECT_EQ(bytes.constData(), where);
    EXPECT_EQ(bytes, QByteArray(12, '\0'));

    // Read-only literal storage is left alone rather than written to.
    QString literal = QStringLiteral("literal");
    secureZero(literal);
    EXPECT_EQ(literal, QStringLiteral("literal"));

    QString text = QString::fromUtf8("pässword");
    secureZero(text);
    EXPECT_EQ(text.size(), 8);
    for (QChar c : text)
        EXPECT_EQ(c.unicode(), 0);

    std::vector<unsigned char> v{1, 2, 3};
    secureZero(v);
    EXPECT_EQ(v, (std::vector<unsigned char>{0, 0, 0}));

    std::string empty;
    secureZero(empty);
    secureZero(nullptr, 4);
    EXPECT_TRUE(empty.empty());
}
