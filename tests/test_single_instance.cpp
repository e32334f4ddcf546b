#include <QtTest>

class TestSingleInstance : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
