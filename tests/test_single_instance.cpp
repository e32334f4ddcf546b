// One instance at a time, also after the previous one was killed. These tests
// start the emulated program as separate processes.
#include <QProcess>
#include <QUuid>
#include <QtTest>
#include <memory>
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

std::unique_ptr<QProcess> startProgram() {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("CORVANE_AUTO_ANSWER"), QStringLiteral("1"));
    env.insert(QStringLiteral("CORVANE_INSTANCE_KEY"), runInstanceKey());
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(QStringLiteral(CORVANE_EMULATED_BINARY), {QStringLiteral("--no-device")});
    return process;
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

void stop(QProcess &process) {
    process.kill();
    process.waitForFinished(5000);
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void secondStartIsRefused() {
        auto first = startProgram();
        QVERIFY(waitUntilRunning(*first));
        auto second = startProgram();
        QVERIFY(second->waitForFinished(kStartTimeoutMs));
        const QByteArray output = second->readAllStandardOutput();
        QVERIFY2(output.contains("dialog: tips: The program is already running"),
                 output.constData());
        QCOMPARE(second->exitCode(), 255); // -1 as a process exit status
        QVERIFY(!output.contains("window shown"));
        QCOMPARE(first->state(), QProcess::Running);
        stop(*first);
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
