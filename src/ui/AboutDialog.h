#pragma once

#include <QDialog>

// Name, version and a short description of the program.
class AboutDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr const char* kVersion = "4.0.1";

    explicit AboutDialog(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
};
