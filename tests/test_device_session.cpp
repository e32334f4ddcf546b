#include <QtTest>

class TestDeviceSession : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestDeviceSession)
#include "test_device_session.moc"
