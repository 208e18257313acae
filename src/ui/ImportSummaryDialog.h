#pragma once

#include <QDialog>
#include <QString>

#include <vector>

// What became of one file of an import.
struct ImportOutcome {
    enum class Kind {
        Imported,   // in the vault (the message says whether its original was erased)
        Skipped,    // refused, with why; vault and file as they were
        Untouched,  // not imported because the batch was cancelled; vault and file as they were
    };
    QString name;
    QString path;  // the full path, or what was dropped when it names no local file
    Kind kind = Kind::Skipped;
    QString message;  // the status-line text a single import of it shows
    bool failure = false;
};

// After an import of several files: each file under what became of it, with why.
class ImportSummaryDialog : public QDialog {
    Q_OBJECT
public:
    ImportSummaryDialog(const std::vector<ImportOutcome>& outcomes, QWidget* parent = nullptr);

    // One line for the status label: how many were imported, skipped and left untouched.
    [[nodiscard]] static QString countsLine(const std::vector<ImportOutcome>& outcomes);

protected:
    void showEvent(QShowEvent* event) override;
};
