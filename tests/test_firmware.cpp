#include <QtTest>

class TestFirmware : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestFirmware)
#include "test_firmware.moc"
