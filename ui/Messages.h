#pragma once

#include <QString>

class QWidget;

// The program's standard warning: a modal box titled "Warning" with one Ok
// button and no default button, parented to the window.
void showWarning(QWidget *parent, const QString &text);

// Notes every message box in the diagnostic log as it appears, whoever opened
// it: the window's own, the single-instance box, the file dialogs' questions.
// Needs the application object.
void watchMessageBoxes();
