// The window as a fixed picture: widget table, style sheets, fonts, flags,
// slots, embedded images, and the state the device session leaves it in.
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QtTest>

#include "support/DialogAnswerer.h"
#include "support/WindowFixture.h"
#include "ui/StyleSheets.h"

namespace {

QString sheet(const char *utf8) {
    return QString::fromUtf8(utf8);
}

struct Expected {
    QRect geometry;
    QString styleSheet;
    bool visibleAtStart;
};

QList<Expected> expectedButtons() {
    QList<Expected> list = {
        {{209, 166, 109, 48}, sheet(styles::kLogin), true},
        {{344, 166, 109, 48}, sheet(styles::kPaste), true},
        {{230, 110, 232, 22}, sheet(styles::kDeviceConnected), false},
        {{200, 110, 282, 22}, sheet(styles::kDeviceNotConnected), false},
        {{620, 12, 16, 16}, sheet(styles::kExit), true},
        {{580, 16, 20, 8}, sheet(styles::kHide), true},
        {{75, 540, 188, 54}, sheet(styles::kLoadFirmware), true},
        {{480, 540, 100, 51}, sheet(styles::kRun), true},
    };
    for (int x : {295, 325, 350, 375, 400, 425})
        list.append({{x, 555, 18, 21}, sheet(styles::kArrowInitial), true});
    list.append({{278, 380, 109, 48}, sheet(styles::kSave), true});
    for (int x : {260, 286, 312, 338, 364, 390})
        list.append({{x, 435, 18, 21}, sheet(styles::kArrowInitial), true});
    list.append({{88, 673, 190, 20}, sheet(styles::kVersionLine), true});
    return list;
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void init() { fixture::resetEmulation(); }
    void cleanup() { QCOMPARE(emu::misuseCount(), 0); }

    void windowFrameAndFlags() {
        auto window = fixture::makeWindow();
        QCOMPARE(window->size(), QSize(656, 710));
        // A fixed picture: tiling compositors float a window whose least and
        // greatest sizes agree, and a request for another size changes nothing.
        QCOMPARE(window->minimumSize(), QSize(656, 710));
        QCOMPARE(window->maximumSize(), QSize(656, 710));
        window->resize(1280, 997);
        QCOMPARE(window->size(), QSize(656, 710));
        const Qt::WindowFlags wanted =
            Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
        QCOMPARE(window->windowFlags() & wanted, wanted);
        // An unmanaged X11 window takes no typing and hides its own message boxes.
        QVERIFY(!window->windowFlags().testFlag(Qt::X11BypassWindowManagerHint));
        QVERIFY(window->testAttribute(Qt::WA_QuitOnClose));
        QCOMPARE(g_mainWindow, window.get());
        QVERIFY(!window->backgroundPixmap.isNull());
    }

    void widgetTable() {
        auto window = fixture::makeWindow();
        window->show();
        const auto buttons =
            window->findChildren<QPushButton *>(QString(), Qt::FindDirectChildrenOnly);
        const QList<Expected> expected = expectedButtons();
        QCOMPARE(buttons.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(buttons[i]->geometry(), expected[i].geometry);
            QCOMPARE(buttons[i]->styleSheet(), expected[i].styleSheet);
            QCOMPARE(buttons[i]->isVisible(), expected[i].visibleAtStart || i == 3);
            QVERIFY(buttons[i]->text().isEmpty() || buttons[i] == window->btnVersion);
        }
        QCOMPARE(window->fwArrows[0], buttons[8]);
        QCOMPARE(window->saveArrows[5], buttons[20]);
        QCOMPARE(window->btnVersion->font().family(), QStringLiteral("Microsoft Yahei UI"));
        QCOMPARE(window->btnVersion->font().pointSize(), 8);
    }

    void lineEdits() {
        auto window = fixture::makeWindow();
        const QByteArray sheetBytes = window->editPsnId->styleSheet().toUtf8();
        QCOMPARE(sheetBytes.size(), 242);
        QVERIFY(sheetBytes.startsWith("QLineEdit{\t  border: 2px solid gray;"));
        QCOMPARE(window->editPin->styleSheet(), window->editPsnId->styleSheet());
        QCOMPARE(window->editPsnId->geometry(), QRect(158, 238, 400, 30));
        QCOMPARE(window->editPin->geometry(), QRect(158, 318, 400, 30));
        for (QLineEdit *edit : {window->editPsnId, window->editPin}) {
            QCOMPARE(edit->font().family(), QStringLiteral("Microsoft Yahei UI"));
            QCOMPARE(edit->font().pointSize(), 12);
            QVERIFY(!edit->font().italic());
        }
    }

    void slotsInDeclaredOrder() {
        const QStringList wanted = {"onSendHttpsRequest(QString)",
                                    "onFinished()",
                                    "onError(QNetworkReply::NetworkError)",
                                    "slotPushButtonLoginPSNID()",
                                    "slotPushButtonPastePSNID()",
                                    "slotTrayMenuHovered()",
                                    "slotTrayMenuAboutToShow()",
                                    "slotTrayMenuAboutToHid()",
                                    "on_CloseTrayAction()",
                                    "on_ShowOrHideTrayAction()",
                                    "on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason)",
                                    "slotPushButtonClose()",
                                    "slotPushButtonMini()",
                                    "slotPushButtonLoadFW()",
                                    "slotPushButtonRunUpdateFW()",
                                    "slotShowRunUpdateFWProcess(int)",
                                    "slotPushButtonRunSaveData()",
                                    "slotShowRunUpdateSaveDataProcess(int)"};
        const QMetaObject &meta = MainWindow::staticMetaObject;
        QStringList declared;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Public)
                declared << QString::fromLatin1(method.methodSignature());
        }
        QCOMPARE(declared, wanted);
    }

    void embeddedImages_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        const QList<QPair<QString, QSize>> images = {{"背景.png", {656, 710}},
                                                     {"logo-32x32.png", {32, 32}},
                                                     {"退出-大.png", {16, 16}},
                                                     {"退出-小.png", {40, 41}},
                                                     {"最小化-大.png", {20, 8}},
                                                     {"最小化-小.png", {20, 8}},
                                                     {"按钮-Login.png", {109, 48}},
                                                     {"按钮-Login 小.png", {109, 48}},
                                                     {"按钮-Paste.png", {109, 48}},
                                                     {"按钮-Paste 小.png", {109, 48}},
                                                     {"按钮-Save.png", {109, 48}},
                                                     {"按钮-Save-小.png", {109, 48}},
                                                     {"按钮-Load Firmware.png", {188, 54}},
                                                     {"按钮-小-Load firmware.png", {188, 62}},
                                                     {"按钮-Run.png", {100, 51}},
                                                     {"按钮-小-Run .png", {100, 51}},
                                                     {"Device connected.png", {232, 22}},
                                                     {"Device not connected.png", {282, 22}},
                                                     {"箭头.png", {18, 21}},
                                                     {"箭头-亮.png", {18, 21}},
                                                     {"closeBtnNormal.png", {16, 14}},
                                                     {"closeBtnHover.png", {16, 14}},
                                                     {"closeBtnPress.png", {16, 15}},
                                                     {"logo-32x32.ico", {32, 32}}};
        for (const auto &image : images)
            QTest::newRow(image.first.toUtf8().constData()) << image.first << image.second;
    }

    void embeddedImages() {
        QFETCH(QString, name);
        QFETCH(QSize, size);
        auto window = fixture::makeWindow(); // registers the resources
        const QString path = QStringLiteral(":/pics/") + name;
        QVERIFY2(QFile::exists(path), qPrintable(path));
        if (name.endsWith(QLatin1String(".ico"))) {
            QFile ico(path);
            QVERIFY(ico.open(QIODevice::ReadOnly));
            const QByteArray data = ico.readAll();
            QCOMPARE(data.left(6), QByteArray::fromHex("000001000100"));
            QCOMPARE(data.mid(22, 4), QByteArray("\x89PNG"));
            QCOMPARE(data.mid(12, 2), QByteArray("\x18\x00", 2)); // 24 bits per pixel
            return;
        }
        QImage image(path);
        QCOMPARE(image.size(), size);
        // High-density screens get the twin drawn at twice the pixels.
        QString twin = path;
        twin.insert(twin.size() - 4, QStringLiteral("@2x"));
        QCOMPARE(QImage(twin).size(), size * 2);
    }

    void noDeviceAtStart() {
        auto window = fixture::makeWindow();
        window->show();
        QVERIFY(window->btnDeviceNotConnected->isVisible());
        QVERIFY(!window->btnDeviceConnected->isVisible());
        QVERIFY(window->btnVersion->text().isEmpty());
        QVERIFY(window->editPsnId->text().isEmpty());
        QVERIFY(window->editPin->text().isEmpty());
        QVERIFY(window->hidHandle == nullptr);
    }

    void deviceAtStart() {
        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        window->show();
        QVERIFY(window->btnDeviceConnected->isVisible());
        QVERIFY(!window->btnDeviceNotConnected->isVisible());
        QCOMPARE(window->btnVersion->text(), QStringLiteral("V1.2.0 emulated"));
        QCOMPARE(window->editPsnId->text(), QStringLiteral("AQIDBAUGBwg="));
        QCOMPARE(window->editPin->text(), QStringLiteral("12345678"));
    }

    void clickingIndicatorsAndArrowsDoesNothing() {
        fixture::attachStandardDevice();
        auto window = fixture::makeWindow();
        window->show();
        DialogAnswerer answerer;
        emu::clearRequestLog();
        QTest::mouseClick(window->btnDeviceConnected, Qt::LeftButton);
        QTest::mouseClick(window->fwArrows[2], Qt::LeftButton);
        QTest::mouseClick(window->saveArrows[4], Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(answerer.count(), 0);
        QVERIFY(emu::requestLog().empty());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
