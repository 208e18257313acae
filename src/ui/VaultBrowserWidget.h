#pragma once

#include "ui/ImportSummaryDialog.h"

#include <QList>
#include <QUrl>
#include <QWidget>

#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class TransferProgressDialog;

namespace dorvex::vault {
class VaultContainer;
}

// The open vault's entries in a table, with import, view, export and remove. Every outcome is
// reported in the status line under the table; an import of several files (picked together or
// dropped from a file manager) ends with a summary of each.
//
// Keys: Return views the selected entry, Delete removes it, Ctrl+I imports, Ctrl+F filters.
class VaultBrowserWidget : public QWidget {
    Q_OBJECT
public:
    VaultBrowserWidget(dorvex::vault::VaultContainer& container, QWidget* parent = nullptr);
    // With the paths of the open vault file and of the data folder, neither of which (nor the
    // vault's lock file) is ever imported, and so erased, or overwritten by an export.
    VaultBrowserWidget(dorvex::vault::VaultContainer& container, QString containerPath, QString dataFolder,
                       QWidget* parent = nullptr);
    ~VaultBrowserWidget() override;

    void refreshList();
    void importFromPath(const QString& path);
    // Each file as importFromPath imports it, under one progress dialog whose Cancel stops
    // between files; more than one file ends with the summary.
    void importPaths(const QStringList& paths);
    // What a drag from a file manager carries: anything but a local file is skipped with why.
    void importUrls(const QList<QUrl>& urls);
    // Leaves no entry name on screen (session wipe).
    void clearDisplayedFileList();
    void viewRow(int row);

public Q_SLOTS:
    void onImportClicked();
    void onViewClicked();
    void onExportClicked();
    void onRemoveClicked();
    void onRowDoubleClicked(int row, int column);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct ImportItem {
        QString path;  // empty for what names no local file
        QString shown;
    };
    void importItems(const std::vector<ImportItem>& items);
    // The checks, the import and the erase of one file, the same for a single file and a batch.
    [[nodiscard]] ImportOutcome importOne(const QString& path, TransferProgressDialog& progress);
    void applyFilter();
    void onHeaderClicked(int section);
    // The selected row while it is shown; -1 without one.
    [[nodiscard]] int selectedRow() const;
    void updateActionButtons();
    void setActionsEnabled(bool enabled);
    void showStatus(const QString& text, bool failure);
    // Entry name of the first selected row; empty without a selection.
    [[nodiscard]] QString selectedName() const;

    dorvex::vault::VaultContainer& container_;
    QString containerPath_;
    QString dataFolder_;
    QTableWidget* table_ = nullptr;
    QLineEdit* filterEdit_ = nullptr;
    QPushButton* viewButton_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    bool importing_ = false;  // a batch runs (its dialogs run the event loop)
};
