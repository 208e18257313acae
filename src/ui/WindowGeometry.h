#pragma once

#include <QString>

class QWidget;

// The main window's size and position between runs. Kept in the user's configuration folder,
// apart from the vault and the data folder, and nothing else is kept there: no entry, name or path.
namespace windowgeometry {

[[nodiscard]] QString settingsPath();
void save(const QWidget& window);
// Applies the saved geometry only when it lies within the available area of one of the screens
// there are now; true when it did.
bool restore(QWidget& window);

}  // namespace windowgeometry
