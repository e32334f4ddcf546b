// One instance per user at a time, also after the previous one was killed.
// These tests start the emulated program as separate processes.
#include <QProcess>
#include <QStandardPaths>
#include <QUuid>
#include <QtTest>
#include <functional>
#include <memory>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kStartTimeoutMs = 20000;

// A guard key of this run's own: another copy of the program, or a parallel
// run of this test, on the same machine must not hold our guard.
const QString &runInstanceKey() {
    static const QString key =
        QStringLiteral("corvane-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    return key;
}

// Stands in for the users' runtime directories, so that what the instances
// leave there goes away with the run. Other users may pass through it.
QTemporaryDir &runtimeDirs() {
    static QTemporaryDir dirs;
    return dirs;
}

// A user the program can be started as besides the one running the tests.
struct OtherUser {
    uid_t uid = 0;
    gid_t gid = 0;
    QString runtimeDir;
};

std::unique_ptr<QProcess>
startProgram(const OtherUser *asUser = nullptr,
             const std::function<void(QProcessEnvironment &)> &adjust = {}) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("CORVANE_AUTO_ANSWER"), QStringLiteral("1"));
    env.insert(QStringLiteral("CORVANE_INSTANCE_KEY"), runInstanceKey());
    const QString runtimeDir = asUser ? asUser->runtimeDir : runtimeDirs().filePath("self");
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    env.insert(QStringLiteral("HOME"), runtimeDir);
    if (adjust)
        adjust(env);
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    const QString binary = QStringLiteral(CORVANE_EMULATED_BINARY);
    const QStringList options{QStringLiteral("--no-device")};
    if (asUser) {
        process->start(QStringLiteral("setpriv"),
                       QStringList{QStringLiteral("--reuid=%1").arg(asUser->uid),
                                   QStringLiteral("--regid=%1").arg(asUser->gid),
                                   QStringLiteral("--clear-groups"), QStringLiteral("--"), binary} +
                           options);
    } else {
        process->start(binary, options);
    }
    return process;
}

QFileDevice::Permissions privateDir() {
    return QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
}

// "nobody", when the tests run as root and can start a program as that user.
std::optional<OtherUser> nobodyUser() {
    const passwd *entry = ::getpwnam("nobody");
    if (::geteuid() != 0 || !entry || QStandardPaths::findExecutable("setpriv").isEmpty())
        return std::nullopt;
    OtherUser user{entry->pw_uid, entry->pw_gid, runtimeDirs().filePath("nobody")};
    QDir().mkpath(user.runtimeDir);
    const QByteArray path = QFile::encodeName(user.runtimeDir);
    if (::chown(path.constData(), user.uid, user.gid) != 0)
        return std::nullopt;
    QFile::setPermissions(user.runtimeDir, privateDir());
    return user;
}

bool waitForOutput(QProcess &process, const QByteArray &text, QByteArray *seen) {
    QElapsedTimer timer;
    timer.start();
    while (!seen->contains(text)) {
        if (timer.elapsed() > kStartTimeoutMs || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(100);
        *seen += process.readAllStandardOutput();
    }
    return true;
}

bool waitUntilRunning(QProcess &process) {
    QByteArray seen;
    return waitForOutput(process, "window shown", &seen);
}

QByteArray outputOf(QProcess &process) {
    return process.readAllStandardOutput() + process.readAllStandardError();
}

void verifyRefused(QProcess &process) {
    QVERIFY(process.waitForFinished(kStartTimeoutMs));
    const QByteArray output = process.readAllStandardOutput();
    QVERIFY2(output.contains("dialog: tips: The program is already running"), output.constData());
    QCOMPARE(process.exitCode(), 255); // -1 as a process exit status
    QVERIFY(!output.contains("window shown"));
}

void stop(QProcess &process) {
    process.kill();
    process.waitForFinished(5000);
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(runtimeDirs().isValid());
        QFile::setPermissions(runtimeDirs().path(), privateDir() | QFileDevice::ExeOther);
        QVERIFY(QDir().mkpath(runtimeDirs().filePath("self")));
        QFile::setPermissions(runtimeDirs().filePath("self"), privateDir());
    }

    void secondStartIsRefused() {
        auto first = startProgram();
        QVERIFY(waitUntilRunning(*first));
        auto second = startProgram();
        verifyRefused(*second);
        QCOMPARE(first->state(), QProcess::Running);
        stop(*first);
    }

    void guardIsPerUser() {
        const std::optional<OtherUser> other = nobodyUser();
        if (!other)
            QSKIP("needs root and setpriv to start the program as \"nobody\"");
        // This user's instance has ended (killed: it cleaned nothing up).
        auto mine = startProgram();
        QVERIFY(waitUntilRunning(*mine));
        stop(*mine);
        auto theirs = startProgram(&*other);
        QVERIFY2(waitUntilRunning(*theirs), outputOf(*theirs).constData());
        // Each user's instance runs beside the other's; each user has one.
        mine = startProgram();
        QVERIFY2(waitUntilRunning(*mine), "refused while another user's instance runs");
        auto theirSecond = startProgram(&*other);
        verifyRefused(*theirSecond);
        stop(*theirs);
        stop(*mine);
    }

    void anotherUsersLeftoversDoNotStopTheStart() {
        const std::optional<OtherUser> victim = nobodyUser();
        if (!victim)
            QSKIP("needs root and setpriv to start the program as \"nobody\"");
        // "nobody" has no runtime folder, and another user (root, here) has
        // made in the shared temporary folder everything the guard could once
        // be kept at.
        QTemporaryDir shared;
        QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
        const QDir tmp(shared.path());
        QVERIFY(tmp.mkdir(QStringLiteral("corvane-%1").arg(victim->uid)));
        QVERIFY(tmp.mkdir(QStringLiteral("runtime-nobody")));
        QFile planted(tmp.filePath(
            QStringLiteral("corvane-%1-%2.lock").arg(runInstanceKey()).arg(victim->uid)));
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.close();
        const auto withoutRuntimeFolder = [&](QProcessEnvironment &env) {
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
            env.insert(QStringLiteral("TMPDIR"), shared.path());
        };
        auto theirs = startProgram(&*victim, withoutRuntimeFolder);
        QVERIFY2(waitUntilRunning(*theirs), outputOf(*theirs).constData());
        auto second = startProgram(&*victim, withoutRuntimeFolder);
        verifyRefused(*second);
        stop(*theirs);
    }

    void startAfterKilledOwnerIsAccepted() {
        auto first = startProgram();
        QVERIFY(waitUntilRunning(*first));
        stop(*first); // SIGKILL: the owner cannot clean up after itself
        auto next = startProgram();
        QVERIFY2(waitUntilRunning(*next), "a start after a killed instance was refused");
        stop(*next);
    }

    void simultaneousStartsLeaveExactlyOne() {
        std::vector<std::unique_ptr<QProcess>> starts;
        for (int i = 0; i < 4; ++i)
            starts.push_back(startProgram());
        int refused = 0;
        int running = 0;
        for (auto &process : starts) {
            QByteArray seen;
            QVERIFY(waitForOutput(*process, "\n", &seen));
            if (seen.contains("window shown"))
                ++running;
            else if (seen.contains("The program is already running"))
                ++refused;
        }
        QCOMPARE(running, 1);
        QCOMPARE(refused, 3);
        for (auto &process : starts)
            stop(*process);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
