#include "core/PasswordPolicy.h"

namespace dorvex::core {

namespace {

enum class CharClass { Upper, Lower, Digit, Symbol };

CharClass classify(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 128) {
        if (u >= u'A' && u <= u'Z')
            return CharClass::Upper;
        if (u >= u'a' && u <= u'z')
            return CharClass::Lower;
        if (u >= u'0' && u <= u'9')
            return CharClass::Digit;
        return CharClass::Symbol;
    }
    // Surrogate halves report Other_Surrogate and so count as symbols.
    switch (c.category()) {
    case QChar::Letter_Uppercase:
        return CharClass::Upper;
    case QChar::Letter_Lowercase:
        return CharClass::Lower;
    case QChar::Number_DecimalDigit:
        return CharClass::Digit;
    default:
        return CharClass::Symbol;
    }
}

}  // namespace

QString PasswordPolicy::describeWeakness(const QString& password)
{
    if (password.size() < kMinimumLength)
        return QStringLiteral("Must be at least %1 characters.").arg(kMinimumLength);

    bool upper = false;
    bool lower = false;
    bool digit = false;
    bool symbol = false;
    for (const QChar c : password) {
        switch (classify(c)) {
        case CharClass::Upper:
            upper = true;
            break;
        case CharClass::Lower:
            lower = true;
            break;
        case CharClass::Digit:
            digit = true;
            break;
        case CharClass::Symbol:
            symbol = true;
            break;
        }
    }
    if (!upper)
        return QStringLiteral("Must include at least one uppercase letter.");
    if (!lower)
        return QStringLiteral("Must include at least one lowercase letter.");
    if (!digit)
        return QStringLiteral("Must include at least one number.");
    if (!symbol)
        return QStringLiteral("Must include at least one symbol (e.g. !@#$%).");
    return {};
}

}  // namespace dorvex::core
