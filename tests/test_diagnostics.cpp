#include <QtTest>

class TestDiagnostics : public QObject {
    Q_OBJECT
};

QTEST_MAIN(TestDiagnostics)
#include "test_diagnostics.moc"
