#include <QtTest>

class TestWindow : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
