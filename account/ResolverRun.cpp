#include "account/ResolverRun.h"

#include <QDebug>
#include <QThread>
#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// The resolver's own deadline ends this much before the press's, so that its
// more precise message normally arrives first.
constexpr double kResolverHeadStartSeconds = 0.5;

double resolverSeconds(double pressSeconds) {
    return pressSeconds > 2 * kResolverHeadStartSeconds ? pressSeconds - kResolverHeadStartSeconds
                                                        : pressSeconds / 2;
}

} // namespace

ResolverRun::ResolverRun(QObject *parent) : QObject(parent) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &ResolverRun::onDeadline);
}

ResolverRun::~ResolverRun() {
    if (thread_) {
        thread_->wait();
        delete thread_;
    }
}

QString ResolverRun::timeoutMessage(double seconds) {
    return QStringLiteral("The sign-in server did not answer in time (within %1 seconds); check "
                          "your network connection and try again.")
        .arg(seconds);
}

bool ResolverRun::start(const QString &pastedText, const SignInConfig &config) {
    if (running())
        return false;
    deadlineSeconds_ = config.timeoutSeconds;
    const ResolverEnvironment environment =
        resolverEnvironment(config, resolverSeconds(config.timeoutSeconds));
    thread_ = QThread::create([this, pastedText, environment] {
        PythonResolver::run(pastedText, environment, [this](const ResolvedAccountId &outcome) {
            QMetaObject::invokeMethod(
                this, [this, outcome] { deliver(outcome); }, Qt::QueuedConnection);
        });
    });
    connect(thread_, &QThread::finished, this, &ResolverRun::onThreadFinished);
    awaiting_ = true;
    timedOut_ = false;
    deadline_.start(int(std::min(std::ceil(deadlineSeconds_ * 1000), double(INT_MAX))));
    thread_->start();
    return true;
}

void ResolverRun::deliver(const ResolvedAccountId &outcome) {
    if (!awaiting_) {
        qDebug("Paste: a result that came after the deadline was dropped");
        return;
    }
    awaiting_ = false;
    deadline_.stop();
    emit resolved(outcome);
}

void ResolverRun::onDeadline() {
    if (!awaiting_)
        return;
    awaiting_ = false;
    timedOut_ = true;
    qDebug("Paste: the deadline of %g seconds passed", deadlineSeconds_);
    ResolvedAccountId timedOut;
    timedOut.error = timeoutMessage(deadlineSeconds_);
    emit resolved(timedOut);
}

void ResolverRun::onThreadFinished() {
    if (!thread_)
        return;
    thread_->wait();
    delete thread_;
    thread_ = nullptr;
    emit finished();
}
