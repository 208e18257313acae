#pragma once

#include "vault/VaultContainer.h"

#include <QProgressDialog>

// Progress of imports or exports with Cancel, over the bytes of one file or of a batch. It shows
// itself only when the work is expected to take longer than about half a second; Cancel takes
// effect at the next window of the file in progress (which is then left as it was) and stops a
// batch before its next file.
class TransferProgressDialog : public QProgressDialog {
    Q_OBJECT
public:
    enum class Kind { Import, Export };

    // totalBytes: the plaintext bytes of every file the batch will move.
    TransferProgressDialog(Kind kind, qint64 totalBytes, QWidget* parent);

    // The callback for the next file: names it in the label, reports its bytes against the whole
    // and answers false once Cancel was pressed.
    [[nodiscard]] dorvex::vault::TransferProgress startFile(const QString& name, qint64 fileBytes);
    // The file that started last is done (or was skipped): its bytes count as moved.
    void finishFile();
    [[nodiscard]] bool cancelled() const { return wasCanceled(); }

    // How long the work must be expected to take before the dialog shows. Test seam.
    static int showDelayMs;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void report(qint64 bytesDone);

    Kind kind_;
    qint64 totalBytes_;
    qint64 finishedBytes_ = 0;
    qint64 currentBytes_ = 0;
    bool started_ = false;
};
