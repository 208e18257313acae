#include "ui/TransferProgressDialog.h"

#include "app/ScreenCapture.h"

#include <QCloseEvent>
#include <QPushButton>

#include <algorithm>

namespace {

// QProgressDialog counts in int, and lets events through only when the value changes: fine
// enough steps that each window of even the largest file moves it.
constexpr int kSteps = 1000000;

// An import reads each byte once and the erase of its original writes it three times, each pass
// synced: about the same cost per byte.
constexpr qint64 kEraseWeight = 3;

// The erase reports every 64 KiB; letting events through that often would slow it down.
constexpr qint64 kEraseReportIntervalMs = 15;

qint64 workOf(TransferProgressDialog::Kind kind, qint64 bytes)
{
    const qint64 clamped = std::max<qint64>(bytes, 0);
    return kind == TransferProgressDialog::Kind::Import ? clamped * (1 + kEraseWeight) : clamped;
}

}  // namespace

int TransferProgressDialog::showDelayMs = 500;

TransferProgressDialog::TransferProgressDialog(Kind kind, qint64 totalBytes, QWidget* parent)
    : QProgressDialog(parent), kind_(kind), totalWork_(workOf(kind, totalBytes))
{
    setObjectName(QStringLiteral("transferProgressDialog"));
    setWindowTitle(kind == Kind::Import ? tr("Murravo - Importing") : tr("Murravo - Exporting"));
    // Not a default button: a stray Return would cancel the transfer.
    auto* cancelButton = new QPushButton(tr("Cancel"), this);
    cancelButton->setObjectName(QStringLiteral("transferCancelButton"));
    cancelButton->setAutoDefault(false);
    cancelButton->setDefault(false);
    setCancelButton(cancelButton);
    // Cancel during an erase must not hide the dialog while the erase goes on.
    disconnect(this, SIGNAL(canceled()), this, SLOT(cancel()));
    connect(this, &QProgressDialog::canceled, this, &TransferProgressDialog::onCancelPressed);
    setRange(0, kSteps);
    setMinimumDuration(showDelayMs);
    // Modal to its window, so that nothing else reaches the vault while the transfer runs and
    // the events it lets through are only this dialog's.
    setWindowModality(Qt::WindowModal);
    setAutoClose(false);
    setAutoReset(false);
    setMinimumWidth(420);
}

dorvex::vault::TransferProgress TransferProgressDialog::startFile(const QString& name, qint64 fileBytes)
{
    currentBytes_ = std::max<qint64>(fileBytes, 0);
    currentName_ = name;
    erasing_ = false;
    setLabelText(kind_ == Kind::Import ? tr("Importing \"%1\"...").arg(name) : tr("Exporting \"%1\"...").arg(name));
    return [this](qint64 done, qint64) {
        report(std::clamp<qint64>(done, 0, currentBytes_));
        return !cancelRequested_;
    };
}

dorvex::core::SecureErase::Progress TransferProgressDialog::startErase(const QString& name)
{
    erasing_ = true;
    currentName_ = name;
    setLabelText(tr("Securely erasing the original of \"%1\"...").arg(name));
    sinceEraseReport_.start();
    report(currentBytes_);
    return [this](qint64 done, qint64) {
        const qint64 erased = std::clamp<qint64>(done, 0, kEraseWeight * currentBytes_);
        if (erased < kEraseWeight * currentBytes_ && sinceEraseReport_.elapsed() < kEraseReportIntervalMs)
            return;
        sinceEraseReport_.start();
        report(currentBytes_ + erased);
    };
}

void TransferProgressDialog::finishFile()
{
    finishedWork_ += workOf(kind_, currentBytes_);
    currentBytes_ = 0;
    erasing_ = false;
    report(0);
}

void TransferProgressDialog::onCancelPressed()
{
    if (cancelRequested_)
        return;
    cancelRequested_ = true;
    if (!erasing_) {
        cancel();
        return;
    }
    // The file is in the vault already; its original is finished, the rest of a batch is not begun.
    setLabelText(tr("\"%1\" is already in the vault: finishing the secure erase of its original. Nothing more will be "
                    "imported.")
                     .arg(currentName_));
    if (QPushButton* button = findChild<QPushButton*>(QStringLiteral("transferCancelButton")))
        button->setEnabled(false);
}

void TransferProgressDialog::reject()
{
    onCancelPressed();
}

void TransferProgressDialog::closeEvent(QCloseEvent* event)
{
    onCancelPressed();
    event->accept();
}

void TransferProgressDialog::report(qint64 workDone)
{
    // The first report starts the clock of the show delay; the minimum again would restart it.
    if (!started_) {
        started_ = true;
        setValue(0);
        return;
    }
    const qint64 done = std::min(finishedWork_ + workDone, totalWork_);
    const int step = totalWork_ > 0 ? static_cast<int>(done * kSteps / totalWork_) : 0;
    // Once shown, this also lets the dialog's events (Cancel) through.
    setValue(std::max(step, 1));
}

void TransferProgressDialog::showEvent(QShowEvent* event)
{
    QProgressDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}
