#pragma once

#include <QString>

// The guard's key: "SingleApp", or the value of CORVANE_INSTANCE_KEY when that
// is set, so that test runs can keep their own instances apart from any other
// copy of the program on the machine.
QString singleInstanceKey();

// Takes the single-instance guard of this user. Returns false when another
// instance of the same user holds it (or its file cannot be opened); true,
// with a warning in the log, when there is no private folder for it.
bool takeSingleInstanceGuard();
