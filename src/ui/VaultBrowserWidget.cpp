#include "ui/VaultBrowserWidget.h"

#include "core/SecureErase.h"
#include "crypto/SecureBuffer.h"
#include "ui/FileViewerDialog.h"
#include "ui/SignInSupport.h"
#include "ui/TransferProgressDialog.h"
#include "vault/OwnFiles.h"
#include "vault/VaultContainer.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

using dorvex::core::SecureErase;

namespace {

QPushButton* makeActionButton(QWidget* parent, const QString& text, const char* objectName, const QString& iconPath,
                              const QString& toolTip)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    if (!iconPath.isEmpty()) {
        button->setIcon(QIcon(iconPath));
        button->setIconSize(QSize(18, 18));
    }
    if (!toolTip.isEmpty())
        button->setToolTip(toolTip);
    return button;
}

using ImportFailure = dorvex::vault::VaultContainer::ImportFailure;

// The words for a refused import; the name-collision text for any cause without words of its own.
QString importRefusal(ImportFailure cause, const QString& name, const QString& path)
{
    switch (cause) {
    case ImportFailure::TooLarge:
        return VaultBrowserWidget::tr("Could not import \"%1\" -- it is larger than the largest file the vault can "
                                      "hold (%2 bytes). Nothing was changed.")
            .arg(name, QString::number(dorvex::vault::VaultContainer::kMaxImportBytes));
    case ImportFailure::OutOfMemory:
        return VaultBrowserWidget::tr("Could not import \"%1\" -- there is not enough free memory to encrypt a file "
                                      "this large. Nothing was changed; close other programs or import a smaller "
                                      "file.")
            .arg(name);
    case ImportFailure::Unexpected:
        return VaultBrowserWidget::tr("Could not import \"%1\" -- an unexpected error stopped the import. Nothing "
                                      "was changed.")
            .arg(name);
    case ImportFailure::NotRegularFile:
        if (QFileInfo(path).isDir())
            return VaultBrowserWidget::tr("Could not import \"%1\" -- it is a folder, not a file. Import the files "
                                          "inside it one at a time. Nothing was changed.")
                .arg(name);
        return VaultBrowserWidget::tr("Could not import \"%1\" -- it is a device, a pipe or a socket, not an "
                                      "ordinary file. Only ordinary files can be imported. Nothing was changed.")
            .arg(name);
    case ImportFailure::IndexFull:
        return VaultBrowserWidget::tr("Could not import \"%1\" -- the vault's index is full and cannot list another "
                                      "file. Nothing was changed; remove files you no longer need from the vault to "
                                      "make room.")
            .arg(name);
    case ImportFailure::SourceChanged:
        return VaultBrowserWidget::tr("Could not import \"%1\" -- it changed while it was being read. Nothing was "
                                      "changed and the original was kept; import it again once nothing is writing to "
                                      "it.")
            .arg(name);
    case ImportFailure::UnreadableName:
        return VaultBrowserWidget::tr("Could not import \"%1\" -- its name is not valid UTF-8 text, so Murravo "
                                      "cannot open the file by that name. Nothing was changed; rename the file and "
                                      "import it again.")
            .arg(name);
    default:
        return VaultBrowserWidget::tr("Could not import \"%1\" (a file with that name may already be in the vault).")
            .arg(name);
    }
}

}  // namespace

VaultBrowserWidget::VaultBrowserWidget(dorvex::vault::VaultContainer& container, QWidget* parent)
    : VaultBrowserWidget(container, QString(), QString(), parent)
{
}

VaultBrowserWidget::VaultBrowserWidget(dorvex::vault::VaultContainer& container, QString containerPath,
                                       QString dataFolder, QWidget* parent)
    : QWidget(parent),
      container_(container),
      containerPath_(std::move(containerPath)),
      dataFolder_(std::move(dataFolder))
{
    auto* plate = new QFrame(this);
    plate->setObjectName(QStringLiteral("plate"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(16, 16, 16, 16);
    outer->addWidget(plate);

    table_ = new QTableWidget(0, 3, plate);
    table_->setObjectName(QStringLiteral("vaultTable"));
    table_->setHorizontalHeaderLabels({tr("Name"), tr("Size"), tr("Imported")});
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setAlternatingRowColors(true);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(table_, &QTableWidget::itemSelectionChanged, this, &VaultBrowserWidget::updateActionButtons);
    connect(table_, &QTableWidget::cellDoubleClicked, this, &VaultBrowserWidget::onRowDoubleClicked);

    auto* importButton = makeActionButton(plate, tr("Import..."), "importButton", QStringLiteral(":/icons/import.svg"),
                                          tr("Import a file into the vault. The original is securely erased afterward."));
    importButton->setProperty("accent", true);
    viewButton_ = makeActionButton(plate, tr("View"), "viewButton", QString(),
                                   tr("View images, text, and PDFs without leaving the vault."));
    exportButton_ =
        makeActionButton(plate, tr("Export..."), "exportButton", QStringLiteral(":/icons/export.svg"),
                         tr("Export a file out of the vault, decrypted, to a location you choose."));
    removeButton_ = makeActionButton(plate, tr("Remove"), "removeButton", QStringLiteral(":/icons/remove.svg"), QString());
    setActionsEnabled(false);
    connect(importButton, &QPushButton::clicked, this, &VaultBrowserWidget::onImportClicked);
    connect(viewButton_, &QPushButton::clicked, this, &VaultBrowserWidget::onViewClicked);
    connect(exportButton_, &QPushButton::clicked, this, &VaultBrowserWidget::onExportClicked);
    connect(removeButton_, &QPushButton::clicked, this, &VaultBrowserWidget::onRemoveClicked);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(importButton);
    buttons->addWidget(viewButton_);
    buttons->addWidget(exportButton_);
    buttons->addWidget(removeButton_);
    buttons->addStretch();

    statusLabel_ = new QLabel(plate);
    statusLabel_->setObjectName(QStringLiteral("vaultStatusLabel"));
    statusLabel_->setWordWrap(true);
    statusLabel_->setProperty("role", "subtext");

    auto* layout = new QVBoxLayout(plate);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(14);
    layout->addLayout(buttons);
    layout->addWidget(table_);
    layout->addWidget(statusLabel_);

    refreshList();
}

VaultBrowserWidget::~VaultBrowserWidget() = default;

void VaultBrowserWidget::refreshList()
{
    const std::vector<dorvex::vault::VaultContainer::EntryInfo> entries = container_.listEntries();
    table_->setRowCount(static_cast<int>(entries.size()));
    for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
        const auto& entry = entries[static_cast<std::size_t>(row)];
        table_->setItem(row, 0, new QTableWidgetItem(entry.name));
        table_->setItem(row, 1, new QTableWidgetItem(QString::number(entry.size) + tr(" bytes")));
        table_->setItem(row, 2, new QTableWidgetItem(entry.importedAt.toLocalTime().toString(Qt::ISODate)));
    }
    setActionsEnabled(false);
}

void VaultBrowserWidget::clearDisplayedFileList()
{
    table_->clearContents();
    table_->setRowCount(0);
    setActionsEnabled(false);
}

void VaultBrowserWidget::importFromPath(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    // Importing erases the original: refused before anything is read.
    if (dorvex::vault::isOwnFile(path, containerPath_, dataFolder_)) {
        showStatus(tr("Could not import \"%1\" -- it is one of Murravo's own files (the vault, its lock file or a "
                      "file in its data folder), and importing it would erase it.")
                       .arg(name),
                   true);
        return;
    }
    // Named before the delete-permission check, which such a path fails for reasons of its own.
    if (const ImportFailure cause = dorvex::vault::VaultContainer::sourceFailure(path); cause != ImportFailure::None) {
        showStatus(importRefusal(cause, name, path), true);
        return;
    }
    if (!SecureErase::canErase(path)) {
        showStatus(tr("Could not import \"%1\" -- you don't have permission to delete this file, and this import "
                      "flow always removes the original after copying it in. Free up delete permission on it "
                      "first, or move a copy somewhere you can delete before importing it.")
                       .arg(name),
                   true);
        return;
    }
    dorvex::core::FileIdentity imported;
    bool ok = false;
    {
        const qint64 size = QFileInfo(path).size();
        TransferProgressDialog progress(TransferProgressDialog::Kind::Import, size, this);
        dorvex::vault::TransferOptions options;
        options.progress = progress.startFile(name, size);
        ok = container_.importFile(path, name, &imported, options);
    }
    if (!ok) {
        if (container_.lastImportFailure() == ImportFailure::Cancelled)
            showStatus(tr("Import of \"%1\" was cancelled. Nothing was changed, and the original is still in place.")
                           .arg(name),
                       false);
        else
            showStatus(importRefusal(container_.lastImportFailure(), name, path), true);
        return;
    }
    statusLabel_->setStyleSheet(QString());
    switch (SecureErase::eraseImportedFile(path, imported)) {
    case SecureErase::Outcome::Erased:
        showStatus(tr("Imported \"%1\" and securely erased the original.").arg(name), false);
        break;
    case SecureErase::Outcome::Changed:
        showStatus(tr("Imported \"%1\", but the original at \"%2\" changed after it was read, so it was kept -- it's "
                      "still on disk, and the vault holds the version that was read.")
                       .arg(name, path),
                   true);
        break;
    case SecureErase::Outcome::Failed:
        showStatus(tr("Imported \"%1\", but the original at \"%2\" could not be erased -- it's still on disk.")
                       .arg(name, path),
                   true);
        break;
    }
    refreshList();
}

void VaultBrowserWidget::viewRow(int row)
{
    const QTableWidgetItem* item = table_->item(row, 0);
    if (item == nullptr)
        return;
    const QString shared = item->text();
    const QString name(shared.constData(), shared.size());
    const FileViewerDialog::Kind kind = FileViewerDialog::kindOf(name);
    // Refused from the entry's size, before anything is decrypted.
    const qint64 limit = FileViewerDialog::maxBytes(kind);
    for (const auto& entry : container_.listEntries()) {
        if (entry.name == name && entry.size > limit) {
            showStatus(tr("Could not open \"%1\" for viewing -- at %2 bytes it is larger than the %3 bytes the "
                          "viewer shows of this kind of file, so that it stays within memory. Use Export to open "
                          "it in another application.")
                           .arg(name, QString::number(entry.size), QString::number(limit)),
                       true);
            return;
        }
    }
    // A kind the viewer cannot show is never decrypted.
    std::vector<unsigned char> bytes;
    if (kind != FileViewerDialog::Kind::Unsupported) {
        std::optional<std::vector<unsigned char>> decrypted = container_.readFileBytes(name);
        if (!decrypted) {
            showStatus(tr("Could not open \"%1\" for viewing.").arg(name), true);
            return;
        }
        bytes = std::move(*decrypted);
    }
    {
        FileViewerDialog viewer(name, bytes, this);
        viewer.exec();
    }
    dorvex::crypto::secureZero(bytes);
}

void VaultBrowserWidget::onImportClicked()
{
    const QString path = QFileDialog::getOpenFileName(parentWidget(), tr("Import into vault"), QString(), QString(),
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (!path.isEmpty())
        importFromPath(path);
}

void VaultBrowserWidget::onViewClicked()
{
    const QList<QTableWidgetItem*> selected = table_->selectedItems();
    if (!selected.isEmpty())
        viewRow(selected.first()->row());
}

void VaultBrowserWidget::onExportClicked()
{
    const QString name = selectedName();
    if (name.isEmpty())
        return;
    const QString path = QFileDialog::getSaveFileName(this, tr("Export from vault"), name, QString());
    if (path.isEmpty())
        return;
    // Refused before anything is written: it would overwrite the vault or the account.
    if (dorvex::vault::isOwnFile(path, containerPath_, dataFolder_)) {
        showStatus(tr("Could not export \"%1\" -- \"%2\" is one of Murravo's own files (the vault, its lock file or "
                      "a file in its data folder). Choose another location.")
                       .arg(name, path),
                   true);
        return;
    }
    qint64 size = 0;
    for (const auto& entry : container_.listEntries()) {
        if (entry.name == name)
            size = entry.size;
    }
    bool ok = false;
    {
        TransferProgressDialog progress(TransferProgressDialog::Kind::Export, size, this);
        dorvex::vault::TransferOptions options;
        options.progress = progress.startFile(name, size);
        ok = container_.exportFile(name, path, options);
    }
    if (ok)
        showStatus(tr("Exported \"%1\".").arg(name), false);
    else if (container_.lastExportFailure() == dorvex::vault::VaultContainer::ExportFailure::Cancelled)
        showStatus(tr("Export of \"%1\" was cancelled. Nothing was written.").arg(name), false);
    else
        showStatus(tr("Could not export \"%1\".").arg(name), true);
}

void VaultBrowserWidget::onRemoveClicked()
{
    const QString name = selectedName();
    if (name.isEmpty())
        return;
    const auto answer = QMessageBox::warning(
        this, tr("Remove From Vault"),
        tr("Permanently remove \"%1\" from the vault?\n\nThis cannot be undone -- there is no way to recover this "
           "file afterward.")
            .arg(name),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Yes)
        return;
    if (container_.removeFile(name)) {
        showStatus(tr("Removed \"%1\" from the vault.").arg(name), false);
        refreshList();
    } else {
        showStatus(tr("Could not remove \"%1\".").arg(name), true);
    }
}

void VaultBrowserWidget::onRowDoubleClicked(int row, int column)
{
    (void)column;
    viewRow(row);
}

void VaultBrowserWidget::updateActionButtons()
{
    setActionsEnabled(!table_->selectedItems().isEmpty());
}

void VaultBrowserWidget::setActionsEnabled(bool enabled)
{
    viewButton_->setEnabled(enabled);
    exportButton_->setEnabled(enabled);
    removeButton_->setEnabled(enabled);
}

void VaultBrowserWidget::showStatus(const QString& text, bool failure)
{
    statusLabel_->setStyleSheet(failure ? QString::fromLatin1(signin::kErrorStyle) : QString());
    statusLabel_->setText(text);
}

QString VaultBrowserWidget::selectedName() const
{
    const QList<QTableWidgetItem*> selected = table_->selectedItems();
    if (selected.isEmpty())
        return QString();
    const QTableWidgetItem* item = table_->item(selected.first()->row(), 0);
    if (item == nullptr)
        return QString();
    // A deep copy: removing the entry wipes the container's copy of the name, which the item shares.
    const QString shared = item->text();
    return QString(shared.constData(), shared.size());
}
