#pragma once
// Runs getpsnid() of the resolver module PSNID.py in an embedded CPython
// interpreter that is started for one call and finalized before the call
// returns. Every failure (no interpreter, module or function, a raised
// exception, a result that is not text) comes back as a message for the user;
// nothing the module does can end the program.

#include <QByteArray>
#include <QString>

struct ResolvedAccountId {
    bool ok = false;
    QByteArray id; // UTF-8, up to its first zero byte; set when ok
    QString error; // for the user; set when !ok
};

class PythonResolver {
public:
    // Module folders, searched first and in this order: Python37/Lib under
    // the working directory, Python37/Lib beside the executable, and the
    // installed data folder relative to the executable (../share/corvane/python
    // for the standard layout).
    static ResolvedAccountId resolve(const QString &pastedText);

    static bool interpreterRunning();
};
