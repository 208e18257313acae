#include "ui/SignInSupport.h"

#include "crypto/SecureBuffer.h"

#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QPushButton>

#include <algorithm>

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

void showError(QLabel* label, const QString& text)
{
    label->setText(text);
    label->show();

    QWidget* window = label->window();
    QLayout* layout = window->layout();
    // Before its first show a window takes its size from the same layout by itself.
    if (!window->isVisible() || layout == nullptr)
        return;
    layout->activate();
    // Only ever grow: a shorter text must not make the dialog jump, nor undo the user's resize.
    const int width = std::max({window->width(), window->sizeHint().width(), window->minimumWidth()});
    const int height =
        layout->hasHeightForWidth() ? layout->totalHeightForWidth(width) : layout->totalSizeHint().height();
    window->resize(window->size().expandedTo(QSize(width, height)));
}

}  // namespace signin
