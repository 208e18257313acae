#include "ui/ImportSummaryDialog.h"

#include "app/DialogHeader.h"
#include "app/ScreenCapture.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

qsizetype countOf(const std::vector<ImportOutcome>& outcomes, ImportOutcome::Kind kind)
{
    return std::count_if(outcomes.begin(), outcomes.end(), [kind](const ImportOutcome& o) { return o.kind == kind; });
}

}  // namespace

QString ImportSummaryDialog::countsLine(const std::vector<ImportOutcome>& outcomes)
{
    return tr("Imported %1 of %2 files; %3 skipped, %4 left untouched.")
        .arg(countOf(outcomes, ImportOutcome::Kind::Imported))
        .arg(static_cast<qsizetype>(outcomes.size()))
        .arg(countOf(outcomes, ImportOutcome::Kind::Skipped))
        .arg(countOf(outcomes, ImportOutcome::Kind::Untouched));
}

ImportSummaryDialog::ImportSummaryDialog(const std::vector<ImportOutcome>& outcomes, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("importSummaryDialog"));
    setWindowTitle(tr("Murravo - Import Summary"));
    setMinimumSize(620, 380);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    const bool cancelled = countOf(outcomes, ImportOutcome::Kind::Untouched) > 0;
    layout->addWidget(buildDialogHeader(this, QStringLiteral(":/icons/import.svg"),
                                        cancelled ? tr("Import cancelled") : tr("Import finished"),
                                        countsLine(outcomes)));

    auto* list = new QTreeWidget(this);
    list->setObjectName(QStringLiteral("importSummaryList"));
    list->setColumnCount(2);
    list->setHeaderLabels({tr("File"), tr("Outcome")});
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setRootIsDecorated(false);
    // Whole reasons, scrolled sideways where they are long, rather than cut short.
    list->setTextElideMode(Qt::ElideNone);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    const struct {
        ImportOutcome::Kind kind;
        QString heading;
    } groups[] = {
        {ImportOutcome::Kind::Imported, tr("Imported (%1)")},
        {ImportOutcome::Kind::Skipped, tr("Skipped (%1)")},
        {ImportOutcome::Kind::Untouched, tr("Left untouched (%1)")},
    };
    for (const auto& group : groups) {
        const qsizetype count = countOf(outcomes, group.kind);
        if (count == 0)
            continue;
        auto* heading = new QTreeWidgetItem(list, {group.heading.arg(count)});
        heading->setFirstColumnSpanned(true);
        for (const ImportOutcome& outcome : outcomes) {
            if (outcome.kind != group.kind)
                continue;
            auto* item = new QTreeWidgetItem(heading, {outcome.name, outcome.message});
            item->setToolTip(0, outcome.path);
            item->setToolTip(1, outcome.message);
            if (outcome.failure)
                item->setForeground(1, QColor(0xFF, 0x7A, 0x7A));
        }
        heading->setExpanded(true);
    }
    layout->addWidget(list, 1);

    auto* close = new QPushButton(tr("Close"), this);
    close->setObjectName(QStringLiteral("importSummaryCloseButton"));
    close->setProperty("accent", true);
    close->setDefault(true);
    layout->addWidget(close, 0, Qt::AlignRight);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
}

void ImportSummaryDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}
