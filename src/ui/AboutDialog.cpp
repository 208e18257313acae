#include "ui/AboutDialog.h"

#include "app/DialogHeader.h"
#include "app/PlatformWording.h"
#include "app/ScreenCapture.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("About Murravo"));
    setMinimumWidth(420);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/app.svg"), tr("Murravo"),
                                        tr("Classified Documents Protection.")));

    auto* version = new QLabel(tr("Version %1").arg(QString::fromLatin1(kVersion)), this);
    version->setProperty("role", QStringLiteral("subtext"));
    layout->addWidget(version);

    auto* description = new QLabel(dorvex::app::platformWording(dorvex::app::Wording::AboutDescription), this);
    description->setWordWrap(true);
    layout->addWidget(description);

    auto* built = new QLabel(tr("Built with Qt6 and libsodium."), this);
    built->setWordWrap(true);
    built->setProperty("role", QStringLiteral("subtext"));
    layout->addWidget(built);
    layout->addStretch();

    auto* close = new QPushButton(tr("Close"), this);
    close->setObjectName(QStringLiteral("aboutCloseButton"));
    close->setProperty("accent", true);
    layout->addWidget(close);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void AboutDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}
