#include <QtTest>

class TestPaste : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestPaste)
#include "test_paste.moc"
