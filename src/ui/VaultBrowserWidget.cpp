#include "ui/VaultBrowserWidget.h"

#include "core/SecureErase.h"
#include "crypto/SecureBuffer.h"
#include "ui/FileViewerDialog.h"
#include "ui/SignInSupport.h"
#include "ui/TransferProgressDialog.h"
#include "vault/OwnFiles.h"
#include "vault/VaultContainer.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QShortcut>
#include <QTableWidget>
#include <QTimer>
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

// Sorts by its key where it has one (sizes, times), otherwise by its text as people read it.
class SortableItem : public QTableWidgetItem {
public:
    explicit SortableItem(const QString& text, std::optional<qint64> key = std::nullopt) : QTableWidgetItem(text)
    {
        if (key)
            setData(Qt::UserRole, *key);
    }
    bool operator<(const QTableWidgetItem& other) const override
    {
        const QVariant mine = data(Qt::UserRole);
        const QVariant theirs = other.data(Qt::UserRole);
        if (mine.isValid() && theirs.isValid())
            return mine.toLongLong() < theirs.toLongLong();
        if (const int order = text().compare(other.text(), Qt::CaseInsensitive); order != 0)
            return order < 0;
        return QString::localeAwareCompare(text(), other.text()) < 0;
    }
};

// What a drop carries that the browser can import: at least one local file.
bool carriesLocalFiles(const QMimeData* mime)
{
    if (mime == nullptr || !mime->hasUrls())
        return false;
    const QList<QUrl> urls = mime->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

// Takes a drag or drop of local files while the browser can import; as a copy where the source
// offers one, since the browser erases each original itself once it is safely in the vault.
bool acceptAsCopy(QDropEvent* event, bool canImport)
{
    if (!canImport || !carriesLocalFiles(event->mimeData())) {
        event->ignore();
        return false;
    }
    if (event->possibleActions() & Qt::CopyAction) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
    return true;
}

// The bytes a batch will move for this path: none for anything but a regular file.
qint64 regularFileSize(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() ? info.size() : 0;
}

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
    case ImportFailure::OverSizeLimit:
        return VaultBrowserWidget::tr("Could not import \"%1\" -- the vault would grow past its size limit. Nothing "
                                      "was changed; raise or remove the limit in File > Configure > Storage, or remove "
                                      "files you no longer need from the vault.")
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
    // Sorted only once the user clicks a header; until then the vault's own order.
    table_->setSortingEnabled(false);
    table_->horizontalHeader()->setSectionsClickable(true);
    connect(table_->horizontalHeader(), &QHeaderView::sectionClicked, this, &VaultBrowserWidget::onHeaderClicked);
    // Sorting moves rows: the filter is applied again to where they went.
    connect(table_->model(), &QAbstractItemModel::layoutChanged, this, &VaultBrowserWidget::applyFilter);
    connect(table_, &QTableWidget::itemSelectionChanged, this, &VaultBrowserWidget::updateActionButtons);
    connect(table_, &QTableWidget::cellDoubleClicked, this, &VaultBrowserWidget::onRowDoubleClicked);

    filterEdit_ = new QLineEdit(plate);
    filterEdit_->setObjectName(QStringLiteral("vaultFilterEdit"));
    filterEdit_->setPlaceholderText(tr("Filter by name (Ctrl+F)"));
    filterEdit_->setClearButtonEnabled(true);
    connect(filterEdit_, &QLineEdit::textChanged, this, &VaultBrowserWidget::applyFilter);

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
    layout->addWidget(filterEdit_);
    layout->addWidget(table_);
    layout->addWidget(statusLabel_);

    // Return and Delete act on the table's selection only: in the filter they edit its text.
    table_->installEventFilter(this);
    auto* import = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_I), this, nullptr, nullptr,
                                 Qt::WidgetWithChildrenShortcut);
    connect(import, &QShortcut::activated, this, &VaultBrowserWidget::onImportClicked);
    auto* find = new QShortcut(QKeySequence::Find, this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(find, &QShortcut::activated, this, [this] {
        filterEdit_->setFocus(Qt::ShortcutFocusReason);
        filterEdit_->selectAll();
    });

    setAcceptDrops(true);
    refreshList();
}

VaultBrowserWidget::~VaultBrowserWidget() = default;

void VaultBrowserWidget::refreshList()
{
    const std::vector<dorvex::vault::VaultContainer::EntryInfo> entries = container_.listEntries();
    // Rows would move while they are filled; sorted again once they are all in.
    const bool sorted = table_->isSortingEnabled();
    table_->setSortingEnabled(false);
    table_->setRowCount(static_cast<int>(entries.size()));
    for (int row = 0; row < static_cast<int>(entries.size()); ++row) {
        const auto& entry = entries[static_cast<std::size_t>(row)];
        table_->setItem(row, 0, new SortableItem(entry.name));
        table_->setItem(row, 1, new SortableItem(QString::number(entry.size) + tr(" bytes"), entry.size));
        table_->setItem(row, 2, new SortableItem(entry.importedAt.toLocalTime().toString(Qt::ISODate),
                                                 entry.importedAt.toMSecsSinceEpoch()));
    }
    table_->setSortingEnabled(sorted);
    applyFilter();
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
    importPaths({path});
}

void VaultBrowserWidget::importPaths(const QStringList& paths)
{
    std::vector<ImportItem> items;
    for (const QString& path : paths)
        items.push_back({path, QFileInfo(path).fileName()});
    importItems(items);
}

void VaultBrowserWidget::importUrls(const QList<QUrl>& urls)
{
    std::vector<ImportItem> items;
    for (const QUrl& url : urls) {
        if (url.isLocalFile())
            items.push_back({url.toLocalFile(), QFileInfo(url.toLocalFile()).fileName()});
        else
            items.push_back({QString(), url.toDisplayString(QUrl::RemoveUserInfo | QUrl::PreferLocalFile)});
    }
    importItems(items);
}

void VaultBrowserWidget::importItems(const std::vector<ImportItem>& items)
{
    // Its dialogs run the event loop: a second drop must wait for this batch.
    if (importing_ || items.empty())
        return;
    importing_ = true;
    std::vector<ImportOutcome> outcomes;
    {
        qint64 totalBytes = 0;
        for (const ImportItem& item : items)
            totalBytes += item.path.isEmpty() ? 0 : regularFileSize(item.path);
        TransferProgressDialog progress(TransferProgressDialog::Kind::Import, totalBytes, this);
        for (const ImportItem& item : items) {
            if (progress.cancelled() || container_.isLocked()) {
                outcomes.push_back({item.shown, item.path, ImportOutcome::Kind::Untouched,
                                    tr("Not imported: the import was cancelled before this file. It is still in "
                                       "place."),
                                    false});
            } else if (item.path.isEmpty()) {
                outcomes.push_back({item.shown, item.shown, ImportOutcome::Kind::Skipped,
                                    tr("Could not import \"%1\" -- it is not a file on this computer. Only local "
                                       "files can be imported. Nothing was changed.")
                                        .arg(item.shown),
                                    true});
            } else {
                outcomes.push_back(importOne(item.path, progress));
            }
            progress.finishFile();
        }
    }
    importing_ = false;
    // A session wiped meanwhile shows no name again.
    if (container_.isLocked())
        return;
    const bool anyImported = std::any_of(outcomes.begin(), outcomes.end(), [](const ImportOutcome& o) {
        return o.kind == ImportOutcome::Kind::Imported;
    });
    if (anyImported)
        refreshList();
    if (outcomes.size() == 1) {
        showStatus(outcomes.front().message, outcomes.front().failure);
        return;
    }
    const bool anyFailure =
        std::any_of(outcomes.begin(), outcomes.end(), [](const ImportOutcome& o) { return o.failure; });
    showStatus(ImportSummaryDialog::countsLine(outcomes), anyFailure);
    ImportSummaryDialog summary(outcomes, this);
    summary.exec();
}

ImportOutcome VaultBrowserWidget::importOne(const QString& path, TransferProgressDialog& progress)
{
    const QString name = QFileInfo(path).fileName();
    const auto outcome = [&](ImportOutcome::Kind kind, const QString& message, bool failure) {
        return ImportOutcome{name, path, kind, message, failure};
    };
    const auto skipped = [&](const QString& message) { return outcome(ImportOutcome::Kind::Skipped, message, true); };
    // Importing erases the original: refused before anything is read.
    if (dorvex::vault::isOwnFile(path, containerPath_, dataFolder_))
        return skipped(tr("Could not import \"%1\" -- it is one of Murravo's own files (the vault, its lock file or a "
                          "file in its data folder), and importing it would erase it.")
                           .arg(name));
    // Named before the delete-permission check, which such a path fails for reasons of its own.
    if (const ImportFailure cause = dorvex::vault::VaultContainer::sourceFailure(path); cause != ImportFailure::None)
        return skipped(importRefusal(cause, name, path));
    if (!SecureErase::canErase(path))
        return skipped(tr("Could not import \"%1\" -- you don't have permission to delete this file, and this import "
                          "flow always removes the original after copying it in. Free up delete permission on it "
                          "first, or move a copy somewhere you can delete before importing it.")
                           .arg(name));
    dorvex::core::FileIdentity imported;
    dorvex::vault::TransferOptions options;
    options.progress = progress.startFile(name, regularFileSize(path));
    if (!container_.importFile(path, name, &imported, options)) {
        if (container_.lastImportFailure() == ImportFailure::Cancelled)
            return outcome(ImportOutcome::Kind::Untouched,
                           tr("Import of \"%1\" was cancelled. Nothing was changed, and the original is still in "
                              "place.")
                               .arg(name),
                           false);
        return skipped(importRefusal(container_.lastImportFailure(), name, path));
    }
    // Committed: the erase runs to its end whatever Cancel says meanwhile.
    switch (SecureErase::eraseImportedFile(path, imported, progress.startErase(name))) {
    case SecureErase::Outcome::Erased:
        return outcome(ImportOutcome::Kind::Imported,
                       tr("Imported \"%1\" and securely erased the original.").arg(name), false);
    case SecureErase::Outcome::Changed:
        return outcome(ImportOutcome::Kind::Imported,
                       tr("Imported \"%1\", but the original at \"%2\" changed after it was read, so it was kept -- "
                          "it's still on disk, and the vault holds the version that was read.")
                           .arg(name, path),
                       true);
    case SecureErase::Outcome::Failed:
        break;
    }
    return outcome(ImportOutcome::Kind::Imported,
                   tr("Imported \"%1\", but the original at \"%2\" could not be erased -- it's still on disk.")
                       .arg(name, path),
                   true);
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
    if (importing_)
        return;
    const QStringList paths = QFileDialog::getOpenFileNames(parentWidget(), tr("Import into vault"), QString(),
                                                            QString(), nullptr, QFileDialog::DontUseNativeDialog);
    if (!paths.isEmpty())
        importPaths(paths);
}

void VaultBrowserWidget::onViewClicked()
{
    if (const int row = selectedRow(); row >= 0)
        viewRow(row);
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

bool VaultBrowserWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == table_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
            switch (key->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter:
                onViewClicked();
                return true;
            case Qt::Key_Delete:
                onRemoveClicked();
                return true;
            default:
                break;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void VaultBrowserWidget::updateActionButtons()
{
    setActionsEnabled(selectedRow() >= 0);
}

void VaultBrowserWidget::applyFilter()
{
    const QString text = filterEdit_->text().trimmed();
    for (int row = 0; row < table_->rowCount(); ++row) {
        const QTableWidgetItem* item = table_->item(row, 0);
        table_->setRowHidden(row, item == nullptr || !item->text().contains(text, Qt::CaseInsensitive));
    }
    // The actions never reach an entry the user cannot see.
    const QList<QTableWidgetItem*> selected = table_->selectedItems();
    if (!selected.isEmpty() && table_->isRowHidden(selected.first()->row()))
        table_->clearSelection();
    updateActionButtons();
}

void VaultBrowserWidget::onHeaderClicked(int section)
{
    // Later clicks flip the order through the header's own sort indicator.
    if (table_->isSortingEnabled())
        return;
    table_->horizontalHeader()->setSortIndicator(section, Qt::AscendingOrder);
    table_->setSortingEnabled(true);
}

void VaultBrowserWidget::dragEnterEvent(QDragEnterEvent* event)
{
    (void)acceptAsCopy(event, !importing_);
}

void VaultBrowserWidget::dragMoveEvent(QDragMoveEvent* event)
{
    (void)acceptAsCopy(event, !importing_);
}

void VaultBrowserWidget::dropEvent(QDropEvent* event)
{
    if (!acceptAsCopy(event, !importing_))
        return;
    // Not inside the drop: the file manager would wait for the whole batch.
    QTimer::singleShot(0, this, [this, urls = event->mimeData()->urls()] { importUrls(urls); });
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

int VaultBrowserWidget::selectedRow() const
{
    const QList<QTableWidgetItem*> selected = table_->selectedItems();
    if (selected.isEmpty() || table_->isRowHidden(selected.first()->row()))
        return -1;
    return selected.first()->row();
}

QString VaultBrowserWidget::selectedName() const
{
    const int row = selectedRow();
    if (row < 0)
        return QString();
    const QTableWidgetItem* item = table_->item(row, 0);
    if (item == nullptr)
        return QString();
    // A deep copy: removing the entry wipes the container's copy of the name, which the item shares.
    const QString shared = item->text();
    return QString(shared.constData(), shared.size());
}
