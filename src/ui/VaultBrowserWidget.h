#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QTableWidget;

namespace dorvex::vault {
class VaultContainer;
}

// The open vault's entries in a table, with import, view, export and remove. Every outcome is
// reported in the status line under the table.
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
    // Leaves no entry name on screen (session wipe).
    void clearDisplayedFileList();
    void viewRow(int row);

public Q_SLOTS:
    void onImportClicked();
    void onViewClicked();
    void onExportClicked();
    void onRemoveClicked();
    void onRowDoubleClicked(int row, int column);

private:
    void updateActionButtons();
    void setActionsEnabled(bool enabled);
    void showStatus(const QString& text, bool failure);
    // Entry name of the first selected row; empty without a selection.
    [[nodiscard]] QString selectedName() const;

    dorvex::vault::VaultContainer& container_;
    QString containerPath_;
    QString dataFolder_;
    QTableWidget* table_ = nullptr;
    QPushButton* viewButton_ = nullptr;
    QPushButton* exportButton_ = nullptr;
    QPushButton* removeButton_ = nullptr;
    QLabel* statusLabel_ = nullptr;
};
