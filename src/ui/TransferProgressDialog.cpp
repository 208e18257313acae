#include "ui/TransferProgressDialog.h"

#include "app/ScreenCapture.h"

#include <algorithm>

namespace {

// QProgressDialog counts in int, and lets events through only when the value changes: fine
// enough steps that each window of even the largest file moves it.
constexpr int kSteps = 1000000;

}  // namespace

int TransferProgressDialog::showDelayMs = 500;

TransferProgressDialog::TransferProgressDialog(Kind kind, qint64 totalBytes, QWidget* parent)
    : QProgressDialog(parent), kind_(kind), totalBytes_(std::max<qint64>(totalBytes, 0))
{
    setObjectName(QStringLiteral("transferProgressDialog"));
    setWindowTitle(kind == Kind::Import ? tr("Murravo - Importing") : tr("Murravo - Exporting"));
    setCancelButtonText(tr("Cancel"));
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
    setLabelText(kind_ == Kind::Import ? tr("Importing \"%1\"...").arg(name) : tr("Exporting \"%1\"...").arg(name));
    return [this](qint64 done, qint64) {
        report(std::clamp<qint64>(done, 0, currentBytes_));
        return !wasCanceled();
    };
}

void TransferProgressDialog::finishFile()
{
    finishedBytes_ += currentBytes_;
    currentBytes_ = 0;
    report(0);
}

void TransferProgressDialog::report(qint64 bytesDone)
{
    // The first report starts the clock of the show delay; the minimum again would restart it.
    if (!started_) {
        started_ = true;
        setValue(0);
        return;
    }
    const qint64 done = std::min(finishedBytes_ + bytesDone, totalBytes_);
    const int step = totalBytes_ > 0 ? static_cast<int>(done * kSteps / totalBytes_) : 0;
    // Once shown, this also lets the dialog's events (Cancel) through.
    setValue(std::max(step, 1));
}

void TransferProgressDialog::showEvent(QShowEvent* event)
{
    QProgressDialog::showEvent(event);
    dorvex::app::excludeWindowFromScreenCapture(static_cast<unsigned long long>(winId()));
}
