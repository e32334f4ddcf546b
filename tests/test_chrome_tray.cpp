#include <QtTest>

class TestChromeTray : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestChromeTray)
#include "test_chrome_tray.moc"
