#include <QtTest>

class TestDeviceReport : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestDeviceReport)
#include "test_device_report.moc"
