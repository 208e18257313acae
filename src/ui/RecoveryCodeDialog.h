#pragma once

#include <QDialog>
#include <QString>

class QLabel;

// Shows the local-key recovery code once; the code is wiped from the label and from the
// dialog's own copy when the dialog goes away (or earlier, by the session wipe).
class RecoveryCodeDialog : public QDialog {
    Q_OBJECT

public:
    RecoveryCodeDialog(const QString& code, QWidget* parent = nullptr);
    ~RecoveryCodeDialog() override;

    void wipeContent();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString code_;
    QLabel* label_ = nullptr;
};
