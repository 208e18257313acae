#pragma once

#include "core/SecretStore.h"

#include <QDialog>

#include <functional>

// Shown while the system's keyring prompt waits for the user, so that Murravo is seen to wait
// rather than to have gone. It has no buttons: the user answers in the system's prompt.
class KeyringWaitDialog : public QDialog {
    Q_OBJECT

public:
    explicit KeyringWaitDialog(QWidget* parent = nullptr);

    // Runs `call` on a worker thread and returns its answer. The GUI thread goes on painting,
    // and this window is up for as long as a prompt raised by the call waits for the user.
    [[nodiscard]] static dorvex::core::SecretStatus waitFor(
        const std::function<dorvex::core::SecretStatus(const dorvex::core::PromptWatcher&)>& call);

public Q_SLOTS:
    // Escape and the close button leave it up: only the prompt's answer ends the wait.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};
