// Keeps the window alive while the driver is waited for. Every exchange the window's thread
// has with the daemon runs on a helper thread while the window's thread waits: briefly without
// looking at events (most answers take well under a millisecond), then painting but taking no
// input; after half a second the status bar says the driver is being waited for and a
// progress box with Cancel stands over the window. Cancel cannot take back a request already
// sent (the daemon may be carrying it out): the rest of the action is not sent, and its
// requests fail as cancelled.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class QProgressDialog;
class QStatusBar;
class QWidget;

namespace kvt {

class DriverWait : public QObject {
    Q_OBJECT
  public:
    static constexpr int kShowAfterMs = 500;

    // target: how the status bar names what is waited for ("Host", "Simulated board: x").
    DriverWait(QWidget* window, QStatusBar* statusBar, QString target);
    ~DriverWait() override;

    // For DriverClient::SetExchangeRunner: runs `exchange`; false, without running it, while
    // the current action is cancelled. Exchanges of other threads, of pinned threads and of
    // exchanges started while one is waited for run at once in the calling thread.
    bool Run(const std::function<void()>& exchange);

    // One user action of many requests. Once it has run half a second it shows its progress,
    // with Cancel, and lets the window paint at each Step.
    class Action {
      public:
        // wait may be null: then the action only counts.
        Action(DriverWait* wait, QString label, size_t total);
        ~Action();
        Action(const Action&) = delete;
        Action& operator=(const Action&) = delete;
        // `done` of the total are finished; false once the user has cancelled.
        bool Step(size_t done);
        void SetTotal(size_t total) { total_ = total; }
        bool cancelled() const;

      private:
        friend class DriverWait;
        DriverWait* wait_;
        Action* outer_ = nullptr;
        QString label_;
        size_t total_;
        size_t done_ = 0;
        QElapsedTimer clock_;
    };

    // For tests and the status bar: whether the progress box is up, and its box.
    bool busyShown() const { return dialog_ != nullptr; }
    QProgressDialog* dialog() const { return dialog_; }
    bool cancelled() const { return cancelled_; }

  private:
    void Worker();
    void ShowBusy(const QString& label, size_t total, size_t done);
    void HideBusy();
    void OnCancel();
    void ResetCancelWhenIdle();

    QPointer<QWidget> window_;
    QPointer<QStatusBar> statusBar_;
    QString target_;
    QProgressDialog* dialog_ = nullptr;
    Action* action_ = nullptr;
    int depth_ = 0;
    bool cancelled_ = false;

    // The helper thread and its one job.
    std::mutex mutex_;
    std::condition_variable cv_;
    const std::function<void()>* job_ = nullptr;
    bool jobDone_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace kvt
