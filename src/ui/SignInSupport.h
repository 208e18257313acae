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

}  // namespace signin
