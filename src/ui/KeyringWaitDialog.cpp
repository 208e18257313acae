#include "ui/KeyringWaitDialog.h"

#include "app/DialogHeader.h"
#include "app/PlatformWording.h"
#include "app/ScreenCapture.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QLabel>
#include <QThread>
#include <QVBoxLayout>

#include <memory>

using dorvex::app::Wording;
using dorvex::app::platformWording;
using dorvex::core::SecretStatus;

KeyringWaitDialog::KeyringWaitDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("keyringWaitDialog"));
    setWindowTitle(platformWording(Wording::KeyringWaitTitle));
    setMinimumWidth(420);
    // Hidden again once the prompt is answered; that must not count as the last window closing.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/key.svg"), tr("Waiting for the Keyring"),
                                        tr("Answer the system's prompt to go on.")));
    auto* text = new QLabel(platformWording(Wording::KeyringWaitText), this);
    text->setObjectName(QStringLiteral("keyringWaitText"));
    text->setWordWrap(true);
    layout->addWidget(text);
}

SecretStatus KeyringWaitDialog::waitFor(const std::function<SecretStatus(const dorvex::core::PromptWatcher&)>& call)
{
    KeyringWaitDialog window;
    // Told on the worker thread; the window is shown and hidden on the GUI thread, in order.
    const dorvex::core::PromptWatcher watcher = [&window](bool waiting) {
        QMetaObject::invokeMethod(&window, [&window, waiting] { window.setVisible(waiting); }, Qt::QueuedConnection);
    };
    SecretStatus status = SecretStatus::Failed;
    QEventLoop loop;
    const std::unique_ptr<QThread> worker(QThread::create([&] { status = call(watcher); }));
    QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    // Queued, the quit can only arrive once the loop runs.
    worker->start();
    loop.exec();
    worker->wait();
    return status;
}

void KeyringWaitDialog::reject() {}

void KeyringWaitDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}

void KeyringWaitDialog::closeEvent(QCloseEvent* event) { event->ignore(); }
