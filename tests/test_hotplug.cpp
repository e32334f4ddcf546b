#include <QtTest>

class TestHotplug : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestHotplug)
#include "test_hotplug.moc"
