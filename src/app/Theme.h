#pragma once

class QApplication;

namespace dorvex::app {

// Registers the compiled resource bundle (icons, style sheet) once; safe to call repeatedly.
void ensureResources();

// Application icon and the dark style sheet from the resource bundle. A missing style sheet
// leaves the default look.
void applyTheme(QApplication& app);

}  // namespace dorvex::app
