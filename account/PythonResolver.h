#pragma once
// Runs getpsnid() of the resolver module PSNID.py in an embedded CPython
// interpreter that is started for one call and finalized before the call
// returns. Every failure (no interpreter, module or function, a raised
// exception, a result that is not text) comes back as a message for the user;
// nothing the module does can end the program. Nothing here touches widgets:
// the window, the command line and the benchmarks share it.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <functional>

struct ResolvedAccountId {
    bool ok = false;
    QByteArray id; // UTF-8, up to its first zero byte; set when ok
    QString error; // for the user; set when !ok
};

// Variables put into the interpreter's os.environ (never into the process's
// environment); an empty value removes the variable there.
using ResolverEnvironment = QList<QPair<QString, QString>>;

class PythonResolver {
public:
    using Delivery = std::function<void(const ResolvedAccountId &)>;

    // Module folders come after the standard library, in this order:
    // Python37/Lib beside the executable and the installed data folder
    // relative to the executable (../share/corvane/python for the standard
    // layout); the bundled home is Python37 beside the executable. The working
    // directory is never searched. `deliver` receives the outcome
    // once it is known, before the interpreter is finalized; run() returns once
    // the interpreter is gone. Start and finalization happen on the calling
    // thread, which may be any thread, but only one run at a time.
    static void run(const QString &pastedText, const ResolverEnvironment &environment,
                    const Delivery &deliver);

    // One resolve on the calling thread with the effective sign-in settings
    // (corvane.ini and the environment, read once here).
    static ResolvedAccountId resolve(const QString &pastedText);

    // The PSNID.py a run would import: the first one in the module folders;
    // empty when there is none.
    static QString modulePath();

    // Replaces the executable's folder as the place the module folders and the
    // bundled home are found from (tests run from a scratch folder); an empty
    // folder goes back to the executable's.
    static void setProgramFolder(const QString &folder);

    static bool interpreterRunning();
};
