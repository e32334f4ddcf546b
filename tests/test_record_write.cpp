#include <QtTest>

class TestRecordWrite : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestRecordWrite)
#include "test_record_write.moc"
