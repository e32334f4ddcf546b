#include <QtTest>

class TestSignin : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestSignin)
#include "test_signin.moc"
