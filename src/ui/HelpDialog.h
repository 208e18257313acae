#pragma once

#include <QDialog>

namespace dorvex::core {
class AuthManager;
}

// The user guide: manual, warnings and how this device protects the account files.
class HelpDialog : public QDialog {
    Q_OBJECT

public:
    HelpDialog(const dorvex::core::AuthManager& auth, QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    const dorvex::core::AuthManager& auth_;
};
