#pragma once

// Drives a whole program start (the session flow's runSessions) as a user who knows the
// password would: used in-process by the crash tests and by the session driver process.
#include "session/Session.h"
#include "ui/FirstRunWizard.h"
#include "ui/LoginDialog.h"
#include "ui/MainWindow.h"
#include "vault/VaultContainer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <set>
#include <utility>

namespace dorvex::test {


// Answers whatever the program shows, as a user who knows the password would; a dialog that
// is still there after its answer (the "crashed" process could not go on) is dismissed.
class Pilot {
public:
    explicit Pilot(QString password) : password_(std::move(password)) {}

    std::function<void(MainWindow*)> inWindow;  // run once in the main window, before it closes
    QStringList messages;                       // titles of the message boxes shown
    QStringList messageTexts;                   // and their texts
    QStringList prompts;                        // labels of the text prompts shown (password prompts)
    bool answerPrompts = true;                  // type the password into a prompt, or cancel it
    bool signIn = true;                         // create the account or sign in, or cancel instead
    QStringList stuck;                          // errors of dialogs that did not go away
    bool wizardShown = false;
    bool loginShown = false;
    bool windowShown = false;
    bool windowHadVault = false;
    QStringList names;

    int start(const QString& dataDir)
    {
        QTimer timer;
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] { step(); });
        timer.start();
        return dorvex::app::runSessions(dataDir);
    }

private:
    void step()
    {
        if (busy_)
            return;
        busy_ = true;
        if (QWidget* modal = QApplication::activeModalWidget())
            answer(modal);
        else
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* window = qobject_cast<MainWindow*>(w); window != nullptr && window->isVisible())
                    closeWindow(window);
        busy_ = false;
    }

    void answer(QWidget* modal)
    {
        if (answered_.count(modal) != 0) {
            for (QLabel* label : modal->findChildren<QLabel*>())
                if (label->objectName().endsWith(QStringLiteral("ErrorLabel")))
                    stuck << label->text();
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            return;
        }
        answered_.insert(modal);
        if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            prompts << input->labelText();
            if (answerPrompts) {
                input->setTextValue(password_);
                input->accept();
            } else {
                input->reject();
            }
        } else if (!signIn && (qobject_cast<FirstRunWizard*>(modal) != nullptr || qobject_cast<LoginDialog*>(modal) != nullptr)) {
            wizardShown = wizardShown || qobject_cast<FirstRunWizard*>(modal) != nullptr;
            loginShown = loginShown || qobject_cast<LoginDialog*>(modal) != nullptr;
            static_cast<QDialog*>(modal)->reject();
        } else if (auto* wizard = qobject_cast<FirstRunWizard*>(modal)) {
            wizardShown = true;
            const QList<QLineEdit*> edits = wizard->findChildren<QLineEdit*>();
            edits[0]->setText(QStringLiteral("alice"));
            edits[1]->setText(password_);
            edits[2]->setText(password_);
            wizard->findChild<QPushButton*>(QStringLiteral("firstRunCreateButton"))->click();
        } else if (auto* login = qobject_cast<LoginDialog*>(modal)) {
            loginShown = true;
            login->findChild<QLineEdit*>(QStringLiteral("loginPasswordEdit"))->setText(password_);
            login->findChild<QPushButton*>(QStringLiteral("loginUnlockButton"))->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages << box->windowTitle();
            messageTexts << box->text();
            if (QAbstractButton* no = box->button(QMessageBox::No))
                no->click();
            else
                box->done(QMessageBox::Ok);
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        }
    }

    void closeWindow(MainWindow* window)
    {
        windowShown = true;
        windowHadVault = window->container() != nullptr;
        if (window->container() != nullptr) {
            for (const auto& entry : window->container()->listEntries())
                names << entry.name;
            if (inWindow)
                inWindow(window);
        }
        window->close();
    }

    QString password_;
    bool busy_ = false;
    std::set<QWidget*> answered_;
};

}  // namespace dorvex::test
