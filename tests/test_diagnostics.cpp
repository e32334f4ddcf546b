// The in-memory diagnostic log and the window's background menu that saves it.
#include <QContextMenuEvent>
#include <QMenu>
#include <QTemporaryDir>
#include <QtTest>

#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"
#include "ui/MessageLog.h"

namespace {

// Picks `entry` from the next popup menu that opens.
void chooseFromNextMenu(const QString &entry, QStringList *entriesSeen) {
    QTimer::singleShot(50, [entry, entriesSeen] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction *action : menu->actions()) {
            *entriesSeen << action->text();
            if (action->text() == entry) {
                menu->close();
                action->trigger();
                return;
            }
        }
        menu->close();
    });
}

} // namespace

class TestDiagnostics : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { MessageLog::install(); }
    void init() {
        MessageLog::clear();
        fixture::resetEmulation();
    }

    void keepsOnlyTheNewestLines() {
        for (int i = 0; i < MessageLog::kMaxLines + 25; ++i)
            qDebug("line %d", i);
        const QStringList lines = MessageLog::lines();
        QCOMPARE(lines.size(), MessageLog::kMaxLines);
        QVERIFY(lines.first().endsWith(QStringLiteral(" line 25")));
        QVERIFY(lines.last().endsWith(QStringLiteral(" line %1").arg(MessageLog::kMaxLines + 24)));
    }

    void savingReportsFailures() {
        QTemporaryDir dir;
        qDebug("hid_init() fail");
        QString error;
        QVERIFY(MessageLog::saveTo(dir.filePath(QStringLiteral("log.txt")), &error));
        QFile saved(dir.filePath(QStringLiteral("log.txt")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("hid_init() fail"));
        QCOMPARE(saved.permissions() & 0x7077, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(!MessageLog::saveTo(dir.filePath(QStringLiteral("missing/log.txt")), &error));
        QVERIFY(!error.isEmpty());
    }

    void backgroundMenuSavesTheLog() {
        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        window->show();
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("diagnostics.txt"));
        DialogAnswerer answerer;
        answerer.answerFileDialog(path);
        QStringList entries;
        chooseFromNextMenu(QStringLiteral("Save diagnostic log…"), &entries);
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(30, 300),
                                window->mapToGlobal(QPoint(30, 300)));
        QApplication::sendEvent(window.get(), &event);
        QVERIFY(fixture::waitUntil([&] { return QFile::exists(path); }, 5000));
        QCOMPARE(entries, QStringList({QStringLiteral("Back up device flash…"),
                                       QStringLiteral("Save diagnostic log…")}));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("current pid:2203"));
        QCOMPARE(emu::misuseCount(), 0);
    }
};

QTEST_MAIN(TestDiagnostics)
#include "test_diagnostics.moc"
