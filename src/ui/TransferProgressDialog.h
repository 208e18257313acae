#pragma once

#include "core/SecureErase.h"
#include "vault/VaultContainer.h"

#include <QElapsedTimer>
#include <QProgressDialog>

// Progress of imports or exports with Cancel, over the bytes of one file or of a batch. It shows
// itself only when the work is expected to take longer than about half a second; Cancel takes
// effect at the next window of the file in progress (which is then left as it was) and stops a
// batch before its next file. Cancel needs a click or Escape: Return never presses it.
//
// An import's work includes the secure erase of each original (three passes over its bytes).
// That erase cannot be cancelled once the import committed: Cancel pressed during it keeps the
// dialog up until the erase is done and only stops the batch after that file.
class TransferProgressDialog : public QProgressDialog {
    Q_OBJECT
public:
    enum class Kind { Import, Export };

    // totalBytes: the plaintext bytes of every file the batch will move.
    TransferProgressDialog(Kind kind, qint64 totalBytes, QWidget* parent);

    // The callback for the next file: names it in the label, reports its bytes against the whole
    // and answers false once Cancel was pressed.
    [[nodiscard]] dorvex::vault::TransferProgress startFile(const QString& name, qint64 fileBytes);
    // The callback for the erase of the original of the file that started last.
    [[nodiscard]] dorvex::core::SecureErase::Progress startErase(const QString& name);
    // The file that started last is done (or was skipped): its bytes count as moved.
    void finishFile();
    [[nodiscard]] bool cancelled() const { return cancelRequested_; }

    // How long the work must be expected to take before the dialog shows. Test seam.
    static int showDelayMs;

    // Escape: the same as Cancel.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    // Never refused, so that a session wipe closes every window; counts as Cancel.
    void closeEvent(QCloseEvent* event) override;

private:
    void onCancelPressed();
    void report(qint64 workDone);

    Kind kind_;
    qint64 totalWork_;
    qint64 finishedWork_ = 0;
    qint64 currentBytes_ = 0;
    QString currentName_;
    bool started_ = false;
    bool erasing_ = false;
    bool cancelRequested_ = false;
    QElapsedTimer sinceEraseReport_;
};
