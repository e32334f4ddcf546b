#pragma once
// One Paste's resolve on a worker thread of its own, with one deadline for the
// whole press. The interpreter is started, used and finalized on that thread;
// the outcome is reported on the thread that owns this object. When the
// deadline passes first, the run is abandoned: a timeout is reported at once,
// the late outcome is dropped, and running() stays true until the abandoned
// interpreter has been finalized.

#include <QObject>
#include <QString>
#include <QTimer>

#include "account/PythonResolver.h"
#include "account/SignInConfig.h"

class QThread;

class ResolverRun : public QObject {
    Q_OBJECT

public:
    explicit ResolverRun(QObject *parent = nullptr);
    // Waits for a running interpreter: it must never be left half finalized.
    ~ResolverRun() override;

    // Starts resolving `pastedText` with `config`; false when a run (also an
    // abandoned one) has not ended yet.
    bool start(const QString &pastedText, const SignInConfig &config);
    // True from start() until the worker thread has ended.
    bool running() const { return thread_ != nullptr; }
    // True when the deadline passed and the thread still runs.
    bool abandoned() const { return running() && timedOut_; }

    static QString timeoutMessage(double seconds);

signals:
    // Exactly once per start(): the outcome, or the timeout when the deadline
    // passed first.
    void resolved(const ResolvedAccountId &outcome);
    // The worker thread has ended and the interpreter is finalized.
    void finished();

private:
    void deliver(const ResolvedAccountId &outcome);
    void onDeadline();
    void onThreadFinished();

    QThread *thread_ = nullptr;
    QTimer deadline_;
    double deadlineSeconds_ = 0;
    bool awaiting_ = false;
    bool timedOut_ = false;
};
