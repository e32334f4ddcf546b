#include <QtTest>

class TestReadback : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestReadback)
#include "test_readback.moc"
