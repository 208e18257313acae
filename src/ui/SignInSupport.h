#pragma once

#include <QString>

#include <string>

class QPushButton;
class QLabel;
class QWidget;

// Helpers shared by the sign-in dialogs.
namespace signin {

// The colour of every failure text shown next to a control.
inline constexpr const char* kErrorStyle = "color: #FF7A7A;";

// The UTF-8 form of a password for one call; the caller wipes it with secureZero.
[[nodiscard]] std::string utf8Password(const QString& password);

// A dialog's primary button: gold accent and an 18x18 icon.
void makeAccentButton(QPushButton* button, const QString& iconPath);

// A hidden, word-wrapped label in the failure colour.
[[nodiscard]] QLabel* makeErrorLabel(QWidget* parent, const QString& objectName);

// Puts the text into the label, shows it, and grows the label's window so that all of it can
// be read: a window's layout alone leaves a newly shown wrapped label room for one line.
void showError(QLabel* label, const QString& text);

}  // namespace signin
