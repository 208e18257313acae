#pragma once

#include <QString>

class QWidget;

// The row at the top of most dialogs: a 40x40 icon, then the title ("heading") above the
// subtitle ("subtext"). Returns a new child of `parent`; the caller adds it to its layout first.
QWidget* buildDialogHeader(QWidget* parent, const QString& iconPath, const QString& title, const QString& subtitle);
