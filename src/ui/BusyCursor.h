#pragma once

#include <QApplication>
#include <QCursor>

// Shows the wait cursor while a blocking step (Argon2id) runs on the GUI thread; restored on
// every way out of the scope.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};
