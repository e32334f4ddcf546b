#pragma once

#include <QString>

class QWidget;

// The program's standard warning: a modal box titled "Warning" with one Ok
// button and no default button, parented to the window.
void showWarning(QWidget *parent, const QString &text);
