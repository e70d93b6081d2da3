#include "shell/driver_wait.h"

#include <QApplication>
#include <QProgressDialog>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <chrono>

namespace kvt {

namespace {
// How long the window's thread waits for an answer before it looks at events again.
constexpr auto kQuietWait = std::chrono::milliseconds(20);
constexpr auto kPaintSlice = std::chrono::milliseconds(10);
}  // namespace

DriverWait::DriverWait(QWidget* window, QStatusBar* statusBar, QString target)
    : QObject(window), window_(window), statusBar_(statusBar), target_(std::move(target)) {
    thread_ = std::thread([this] { Worker(); });
}

DriverWait::~DriverWait() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    delete dialog_;
}

void DriverWait::Worker() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || (job_ != nullptr && !jobDone_); });
        if (job_ == nullptr || jobDone_) return;  // stopped with nothing to do
        const std::function<void()>* job = job_;
        lock.unlock();
        (*job)();
        lock.lock();
        jobDone_ = true;
        cv_.notify_all();
    }
}

bool DriverWait::Run(const std::function<void()>& exchange) {
    if (QThread::currentThread() != thread()) {
        exchange();
        return true;
    }
    if (cancelled_) return false;
    if (depth_ > 0) {
        // Asked from inside a wait (a queued event): the daemon serves one request at a time
        // anyway, so this one simply follows.
        exchange();
        return true;
    }
    QElapsedTimer clock;
    clock.start();
    std::unique_lock<std::mutex> lock(mutex_);
    job_ = &exchange;
    jobDone_ = false;
    cv_.notify_all();
    if (!cv_.wait_for(lock, kQuietWait, [this] { return jobDone_; })) {
        ++depth_;
        // Long enough to notice: paint, but take no input until the progress box stands over
        // the window (it then keeps input away from everything else).
        while (!jobDone_) {
            lock.unlock();
            const qint64 waited = action_ != nullptr ? action_->clock_.elapsed() : clock.elapsed();
            if (dialog_ == nullptr && waited >= kShowAfterMs) {
                ShowBusy(action_ != nullptr ? action_->label_ : QString(),
                         action_ != nullptr ? action_->total_ : 0,
                         action_ != nullptr ? action_->done_ : 0);
            }
            QApplication::processEvents(
                dialog_ != nullptr ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents,
                static_cast<int>(kPaintSlice.count()));
            lock.lock();
            cv_.wait_for(lock, kPaintSlice, [this] { return jobDone_; });
        }
        --depth_;
    }
    job_ = nullptr;
    lock.unlock();
    if (action_ == nullptr) HideBusy();
    return true;
}

void DriverWait::ShowBusy(const QString& label, size_t total, size_t done) {
    if (statusBar_) {
        statusBar_->showMessage(tr("Waiting for the driver (%1)...").arg(target_));
    }
    if (dialog_ == nullptr) {
        dialog_ = new QProgressDialog(window_);
        dialog_->setObjectName(QStringLiteral("DriverWaitDialog"));
        dialog_->setWindowTitle(tr("Korvanta"));
        dialog_->setCancelButtonText(tr("Cancel"));
        dialog_->setWindowModality(Qt::WindowModal);
        dialog_->setAutoClose(false);
        dialog_->setAutoReset(false);
        dialog_->setMinimumDuration(0);
        connect(dialog_, &QProgressDialog::canceled, this, &DriverWait::OnCancel);
    }
    dialog_->setLabelText(cancelled_ ? tr("Cancelling: the request on its way is finished first...")
                          : label.isEmpty() ? tr("Waiting for the driver (%1)...").arg(target_)
                                            : label);
    // No total: a moving bar.
    const int maximum = total == 0 ? 0 : 1000;
    dialog_->setRange(0, maximum);
    if (total != 0) dialog_->setValue(static_cast<int>(done * 1000 / total));
    dialog_->show();
}

void DriverWait::HideBusy() {
    if (dialog_ == nullptr) return;
    QProgressDialog* dialog = dialog_;
    dialog_ = nullptr;
    dialog->hide();
    dialog->deleteLater();
    if (statusBar_) statusBar_->showMessage(tr("Ready"));
}

void DriverWait::OnCancel() {
    cancelled_ = true;
    if (dialog_ != nullptr) {
        dialog_->setLabelText(tr("Cancelling: the request on its way is finished first..."));
        dialog_->setCancelButton(nullptr);
    }
    // Outside an action the cancel holds until the command that was waiting has returned.
    if (action_ == nullptr) ResetCancelWhenIdle();
}

void DriverWait::ResetCancelWhenIdle() {
    QTimer::singleShot(50, this, [this] {
        if (action_ != nullptr) return;  // the action's end resets it
        if (depth_ > 0) {
            ResetCancelWhenIdle();
            return;
        }
        cancelled_ = false;
    });
}

// ---------------------------------------------------------------------------------------------

DriverWait::Action::Action(DriverWait* wait, QString label, size_t total)
    : wait_(wait), label_(std::move(label)), total_(total) {
    clock_.start();
    if (wait_ == nullptr) return;
    outer_ = wait_->action_;
    wait_->action_ = this;
}

DriverWait::Action::~Action() {
    if (wait_ == nullptr) return;
    wait_->action_ = outer_;
    if (outer_ == nullptr) {
        wait_->HideBusy();
        wait_->cancelled_ = false;
    }
}

bool DriverWait::Action::Step(size_t done) {
    done_ = done;
    if (wait_ == nullptr) return true;
    if (clock_.elapsed() >= kShowAfterMs && wait_->depth_ == 0) {
        wait_->ShowBusy(label_, total_, done_);
        QApplication::processEvents();
    }
    return !wait_->cancelled_;
}

bool DriverWait::Action::cancelled() const {
    return wait_ != nullptr && wait_->cancelled_;
}

}  // namespace kvt
