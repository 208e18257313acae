#include "app/DialogHeader.h"

#include "app/Theme.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

QWidget* buildDialogHeader(QWidget* parent, const QString& iconPath, const QString& title, const QString& subtitle)
{
    dorvex::app::ensureResources();
    auto* header = new QWidget(parent);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    constexpr int kIconSide = 40;
    auto* icon = new QLabel(header);
    icon->setObjectName(QStringLiteral("dialogHeaderIcon"));
    icon->setFixedSize(kIconSide, kIconSide);
    icon->setPixmap(QIcon(iconPath).pixmap(kIconSide, kIconSide));
    row->addWidget(icon);
    row->addSpacing(10);

    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* titleLabel = new QLabel(title, header);
    titleLabel->setObjectName(QStringLiteral("dialogHeaderTitle"));
    titleLabel->setProperty("role", QStringLiteral("heading"));
    auto* subtitleLabel = new QLabel(subtitle, header);
    subtitleLabel->setObjectName(QStringLiteral("dialogHeaderSubtitle"));
    subtitleLabel->setProperty("role", QStringLiteral("subtext"));
    column->addWidget(titleLabel);
    column->addWidget(subtitleLabel);
    row->addLayout(column);
    row->addStretch();
    return header;
}
