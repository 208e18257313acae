#pragma once

#include "app/MachineId.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "vault/StorageConfig.h"
#include "vault/VaultContainer.h"
#include "vault/VaultRollbackGuard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QTimer>

#include <functional>

namespace session_test {

// The storage configuration of an account made by SessionTest::createAccountAndVault, written
// again for this machine's own identity, the one a whole start (runSessions) reads it with.
inline bool bindStorageToThisMachine(const QString& dataDir, const QString& vaultPath,
                                     const dorvex::vault::VaultRollbackGuard& guard)
{
    const QString path = dataDir + QStringLiteral("/storage.dat");
    const QString machine = dorvex::app::MachineId(dataDir + QStringLiteral("/machine_id.txt")).get();
    QFile::remove(path);
    dorvex::vault::StorageConfig storage(path, machine, guard.highestKnownGeneration());
    return storage.setBoundVaultId(dorvex::vault::VaultContainer::peekVaultId(vaultPath))
           && storage.rebind(machine, guard.highestKnownGeneration());
}

// Answers the windows of one start as a user would and notes what was shown: a message box
// with OK, the sign-in with Cancel; the keyring's waiting window (found by its object name) is
// only noted, and `onWaiting` runs once it is up. Stops polling when the case that made it ends.
class StartWatcher : public QObject {
public:
    std::function<void()> onWaiting;
    bool waitingSeen = false;
    bool waitingUpAtSignIn = false;
    bool signInShown = false;
    QString messageTitle;
    QString messageText;

    StartWatcher()
    {
        connect(&timer_, &QTimer::timeout, this, &StartWatcher::poll);
        timer_.start(10);
    }

private:
    static QWidget* visible(const QString& objectName)
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->objectName() == objectName)
                return widget;
        }
        return nullptr;
    }

    void poll()
    {
        if (visible(QStringLiteral("keyringWaitDialog")) && !waitingSeen) {
            waitingSeen = true;
            if (onWaiting)
                onWaiting();
        }
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!widget->isVisible())
                continue;
            if (auto* box = qobject_cast<QMessageBox*>(widget)) {
                messageTitle = box->windowTitle();
                messageText = box->text();
                if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    ok->click();
                else
                    box->reject();
                return;
            }
            if (qobject_cast<LoginDialog*>(widget) || qobject_cast<FirstRunWizard*>(widget)) {
                signInShown = true;
                waitingUpAtSignIn = visible(QStringLiteral("keyringWaitDialog")) != nullptr;
                static_cast<QDialog*>(widget)->reject();
                return;
            }
        }
    }

    QTimer timer_;
};

}  // namespace session_test
