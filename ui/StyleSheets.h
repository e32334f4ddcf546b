#pragma once
// The window's look: every button is an image set through a style sheet.
// These texts are kept byte for byte; the line-edit sheet keeps its tab and
// runs of blanks.

namespace styles {

inline constexpr const char *kLogin =
    "QPushButton{border-image: url(:/pics/按钮-Login.png);}"
    "QPushButton:hover{border-image: url(:/pics/按钮-Login 小.png);}"
    "QPushButton:pressed{border-image: url(:/pics/按钮-Login 小.png);}";
inline constexpr const char *kPaste =
    "QPushButton{border-image: url(:/pics/按钮-Paste.png);}"
    "QPushButton:hover{border-image: url(:/pics/按钮-Paste 小.png);}"
    "QPushButton:pressed{border-image: url(:/pics/按钮-Paste 小.png);}";
inline constexpr const char *kDeviceConnected =
    "QPushButton{border-image: url(:/pics/Device connected.png);}";
inline constexpr const char *kDeviceNotConnected =
    "QPushButton{border-image: url(:/pics/Device not connected.png);}";
inline constexpr const char *kExit = "QPushButton{border-image: url(:/pics/退出-大.png);}"
                                     "QPushButton:hover{border-image: url(:/pics/退出-小.png);}";
inline constexpr const char *kHide = "QPushButton{border-image: url(:/pics/最小化-大.png);}"
                                     "QPushButton:hover{border-image: url(:/pics/最小化-小.png);}";
inline constexpr const char *kLoadFirmware =
    "QPushButton{border-image: url(:/pics/按钮-Load Firmware.png);}"
    "QPushButton:hover{border-image: url(:/pics/按钮-小-Load firmware.png);}"
    "QPushButton:pressed{border-image: url(:/pics/按钮-小-Load firmware.png);}";
inline constexpr const char *kRun =
    "QPushButton{border-image: url(:/pics/按钮-Run.png);}"
    "QPushButton:hover{border-image: url(:/pics/按钮-小-Run .png);}"
    "QPushButton:pressed{border-image: url(:/pics/按钮-小-Run .png);}";
inline constexpr const char *kArrowInitial =
    "QPushButton{border-image: url(:/pics/箭头.png);}"
    "QPushButton:hover{border-image: url(:/pics/箭头.png);}"
    "QPushButton:pressed{border-image: url(:/pics/箭头.png);}";
inline constexpr const char *kSave =
    "QPushButton{border-image: url(:/pics/按钮-Save.png);}"
    "QPushButton:hover{border-image: url(:/pics/按钮-Save-小.png);}"
    "QPushButton:pressed{border-image: url(:/pics/按钮-Save-小.png);}";
inline constexpr const char *kLineEdit =
    "QLineEdit{\t  border: 2px solid gray;                                 border-radius: 10px;   "
    "                              padding: 0 8px;                                color: rgb(141, "
    "254,3); background-color: rgb(23, 21, 22);border: none;} ";
inline constexpr const char *kVersionLine =
    "color: rgb(141, 254,3); background-color: rgb(27, 26, 28);border: none;text-align: left;";

inline constexpr const char *kArrowDim =
    "QPushButton::menu-indicator{image:none;}QPushButton{border-image: url(:/pics/箭头.png);}";
inline constexpr const char *kArrowLit =
    "QPushButton::menu-indicator{image:none;}QPushButton{border-image: url(:/pics/箭头-亮.png);}";

// Message boxes and menus follow the window's dark look: set on the window
// for what opens over it (the boxes, the background and tray menus), and on
// the application for the box shown before any window exists. The selectors
// only reach widgets inside a message box or a menu, never the window's own
// buttons.
inline constexpr const char *kDialogs =
    "QMenu{background-color: rgb(30, 29, 31); color: rgb(225, 225, 225);"
    "border: 1px solid rgb(96, 150, 30); padding: 4px 0px;}"
    "QMenu::item{padding: 5px 24px 5px 16px; background-color: transparent;}"
    "QMenu::item:selected{background-color: rgb(42, 58, 20); color: rgb(141, 254, 3);}"
    "QMenu::item:disabled{color: rgb(110, 110, 110);}"
    "QMenu::separator{height: 1px; background-color: rgb(70, 70, 70); margin: 4px 8px;}"
    "QMessageBox{background-color: rgb(30, 29, 31); border: 1px solid rgb(96, 150, 30);}"
    "QMessageBox QLabel{color: rgb(225, 225, 225);}"
    "QMessageBox QPushButton{color: rgb(141, 254, 3); background-color: rgb(23, 21, 22);"
    "border: 1px solid rgb(96, 150, 30); border-radius: 5px; padding: 5px 16px; min-width: 56px;}"
    "QMessageBox QPushButton:hover{background-color: rgb(42, 58, 20);}"
    "QMessageBox QPushButton:pressed{background-color: rgb(141, 254, 3); color: rgb(23, 21, 22);}";

} // namespace styles
