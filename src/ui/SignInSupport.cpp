#include "ui/SignInSupport.h"

#include "crypto/SecureBuffer.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace signin {

std::string utf8Password(const QString& password)
{
    QByteArray utf8 = password.toUtf8();
    std::string result(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    dorvex::crypto::secureZero(utf8);
    return result;
}

void makeAccentButton(QPushButton* button, const QString& iconPath)
{
    button->setProperty("accent", true);
    if (!iconPath.isEmpty()) {
        button->setIcon(QIcon(iconPath));
        button->setIconSize(QSize(18, 18));
    }
}

QLabel* makeErrorLabel(QWidget* parent, const QString& objectName)
{
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setStyleSheet(QString::fromLatin1(kErrorStyle));
    label->setWordWrap(true);
    label->hide();
    return label;
}

}  // namespace signin
