// Python.h comes first (it sets feature macros for the C library) and must not
// see Qt's "slots" macro, which collides with a member name in its headers.
#define PY_SSIZE_T_CLEAN
#pragma push_macro("slots")
#undef slots
#include <Python.h>
#pragma pop_macro("slots")

#include "account/PythonResolver.h"
#include "account/SignInConfig.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

const char *const kModuleName = "PSNID";
const char *const kFunctionName = "getpsnid";
const char *const kBundledHome = "Python37";

// Owns one reference. Every PyRef lives in a scope that ends before the
// interpreter is finalized.
class PyRef {
public:
    explicit PyRef(PyObject *object = nullptr) : object_(object) {}
    ~PyRef() { Py_XDECREF(object_); }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject *object_;
};

ResolvedAccountId failure(const QString &message) {
    ResolvedAccountId outcome;
    outcome.error = message;
    return outcome;
}

QString textOf(PyObject *unicode) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(unicode, &size);
    if (!utf8) {
        PyErr_Clear();
        return QString();
    }
    return QString::fromUtf8(utf8, int(size));
}

// Takes the pending exception and describes it as str(exception). PyErr_Print
// is never used: it would end the process on SystemExit.
QString takeExceptionMessage() {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return QStringLiteral("unknown error");
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef typeRef(type), valueRef(value), tracebackRef(traceback);
    const QString typeName = PyExceptionClass_Check(type)
                                 ? QString::fromUtf8(PyExceptionClass_Name(type))
                                 : QStringLiteral("exception");
    QString message;
    if (value) {
        PyRef text(PyObject_Str(value));
        if (text)
            message = textOf(text.get());
        else
            PyErr_Clear();
    }
    if (message.isEmpty())
        return typeName;
    // SystemExit and KeyboardInterrupt say little without their name.
    const bool ordinary = PyErr_GivenExceptionMatches(type, PyExc_Exception);
    return ordinary ? message : typeName + QLatin1String(": ") + message;
}

QString statusText(const PyStatus &status) {
    return QString::fromUtf8(status.err_msg ? status.err_msg : "unknown error");
}

// Only a folder the interpreter can actually run from is used as its home; a
// Python37 folder that merely holds the module would break the start.
bool holdsStandardLibrary(const QString &home) {
#ifdef Q_OS_WIN
    const QString landmark = QStringLiteral("Lib/os.py");
#else
    const QString landmark =
        QStringLiteral("lib/python%1.%2/os.py").arg(PY_MAJOR_VERSION).arg(PY_MINOR_VERSION);
#endif
    return QFileInfo::exists(home + QLatin1Char('/') + landmark);
}

// Set by PythonResolver::setProgramFolder; empty means the executable's folder.
QString &programFolderOverride() {
    static QString folder;
    return folder;
}

// Where the resolver's files are looked for. Never the working directory: a
// download folder, an unpacked archive or /tmp may hold a planted Python37.
QString programFolder() {
    if (!programFolderOverride().isEmpty())
        return programFolderOverride();
    return QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
}

PyStatus configureHome(PyConfig *config) {
    if (programFolder().isEmpty())
        return PyStatus_Ok();
    const QString home = QDir(programFolder()).filePath(QLatin1String(kBundledHome));
    if (!holdsStandardLibrary(home))
        return PyStatus_Ok();
    return PyConfig_SetString(config, &config->home, home.toStdWString().c_str());
}

// The interpreter keeps the path configuration it computed (home, prefix,
// stdlib folder) in a process-wide cache that survives Py_FinalizeEx and is
// taken over by the next start; a press after one with a bundled home would
// otherwise run from that folder even when it is gone. Py_SetPath(NULL) is the
// only public way to empty that cache.
void forgetPreviousPathConfiguration() {
#if PY_VERSION_HEX < 0x030D0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Py_SetPath(nullptr);
#pragma GCC diagnostic pop
#endif
}

// Isolated: the user's PYTHONPATH, PYTHONHOME and user site folder cannot
// change what runs; the site module still runs, so packages installed for this
// Python are importable by a replacement resolver. UTF-8 mode: file names and
// environment decode as Qt does.
PyStatus initializeInterpreter() {
    forgetPreviousPathConfiguration();
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.utf8_mode = 1;
    PyStatus status = Py_PreInitialize(&preconfig);
    if (PyStatus_Exception(status))
        return status;
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    config.write_bytecode = 0; // no __pycache__ beside an installed module
    config.site_import = 1;
    status = configureHome(&config);
    if (!PyStatus_Exception(status))
        status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    return status;
}

QStringList moduleFolders() {
    const QString lib = QLatin1String(kBundledHome) + QLatin1String("/Lib");
    const QString folder = programFolder();
    if (folder.isEmpty())
        return {};
    const QDir program(folder);
    // Beside the program (the folder layout it ships with), then the installed
    // data folder found from the program's own place.
    return {program.filePath(lib),
            QDir::cleanPath(program.filePath(QStringLiteral(CORVANE_PYTHON_FROM_BINDIR)))};
}

PyObject *toPython(const QString &text) {
    const QByteArray utf8 = text.toUtf8();
    return PyUnicode_FromStringAndSize(utf8.constData(), Py_ssize_t(utf8.size()));
}

// The folders go after the standard library, so a file named like a standard
// module (json.py, ssl.py) beside the resolver cannot replace it. They are
// added as Python strings, so no path text is ever pasted into Python source.
bool appendModuleFolders(QString *error) {
    PyObject *path = PySys_GetObject("path"); // borrowed
    if (!path || !PyList_Check(path)) {
        *error = QStringLiteral("sys.path is missing");
        return false;
    }
    for (const QString &folderPath : moduleFolders()) {
        PyRef folder(toPython(folderPath));
        if (!folder || PyList_Append(path, folder.get()) != 0) {
            *error = takeExceptionMessage();
            return false;
        }
    }
    return true;
}

// Writes straight into os.environ's mapping: its item assignment would also
// change the process's environment, which other threads read meanwhile.
const char *const kApplyEnvironmentSource = "def apply(settings):\n"
                                            "    import os\n"
                                            "    env = os.environ\n"
                                            "    for key, value in settings.items():\n"
                                            "        name = env.encodekey(key)\n"
                                            "        if value:\n"
                                            "            env._data[name] = env.encodevalue(value)\n"
                                            "        else:\n"
                                            "            env._data.pop(name, None)\n";

bool applyEnvironment(const ResolverEnvironment &environment, QString *error) {
    if (environment.isEmpty())
        return true;
    PyRef settings(PyDict_New());
    for (const auto &[name, value] : environment) {
        PyRef key(toPython(name)), text(toPython(value));
        if (!settings || !key || !text ||
            PyDict_SetItem(settings.get(), key.get(), text.get()) != 0) {
            *error = takeExceptionMessage();
            return false;
        }
    }
    PyRef globals(PyDict_New());
    PyRef defined(
        globals ? PyRun_String(kApplyEnvironmentSource, Py_file_input, globals.get(), globals.get())
                : nullptr);
    PyObject *apply = defined ? PyDict_GetItemString(globals.get(), "apply") : nullptr; // borrowed
    PyRef applied(apply ? PyObject_CallOneArg(apply, settings.get()) : nullptr);
    if (!applied) {
        *error = takeExceptionMessage();
        return false;
    }
    return true;
}

QString resolveFailed(const QString &reason) {
    return QStringLiteral("The account ID could not be resolved: %1").arg(reason);
}

ResolvedAccountId callResolver(const QString &pastedText, const ResolverEnvironment &environment) {
    QString error;
    if (!appendModuleFolders(&error))
        return failure(QStringLiteral("The Python module path could not be set: %1").arg(error));
    if (!applyEnvironment(environment, &error))
        return failure(
            QStringLiteral("The sign-in settings could not be handed to Python: %1").arg(error));
    PyRef module(PyImport_ImportModule(kModuleName));
    if (!module) {
        qDebug("load pModule(PSNID) fail!");
        return failure(QStringLiteral("The account ID resolver (PSNID) could not be loaded: %1")
                           .arg(takeExceptionMessage()));
    }
    PyRef function(PyObject_GetAttrString(module.get(), kFunctionName));
    if (!function || !PyCallable_Check(function.get())) {
        PyErr_Clear();
        return failure(QStringLiteral("The account ID resolver (PSNID) has no getpsnid function."));
    }
    const QByteArray argument = pastedText.toUtf8();
    PyRef arguments(Py_BuildValue("(s#)", argument.constData(), Py_ssize_t(argument.size())));
    if (!arguments)
        return failure(resolveFailed(takeExceptionMessage()));
    PyRef result(PyObject_CallObject(function.get(), arguments.get()));
    if (!result)
        return failure(resolveFailed(takeExceptionMessage()));
    if (!PyUnicode_Check(result.get()))
        return failure(resolveFailed(QStringLiteral("the resolver returned %1 instead of text.")
                                         .arg(QString::fromUtf8(Py_TYPE(result.get())->tp_name))));
    Py_ssize_t size = 0;
    const char *id = PyUnicode_AsUTF8AndSize(result.get(), &size);
    if (!id)
        return failure(resolveFailed(takeExceptionMessage()));
    qDebug("resultgetpsnid:%s", id);
    ResolvedAccountId outcome;
    outcome.ok = true;
    // Copied out while the interpreter still owns `id`; it ends at a zero byte,
    // as the device record does.
    outcome.id = QByteArray(id, int(qstrnlen(id, size_t(size))));
    return outcome;
}

} // namespace

void PythonResolver::run(const QString &pastedText, const ResolverEnvironment &environment,
                         const Delivery &deliver) {
    const PyStatus status = initializeInterpreter();
    if (PyStatus_Exception(status) || !Py_IsInitialized()) {
        qDebug("Python init fail!");
        if (Py_IsInitialized())
            Py_FinalizeEx();
        deliver(failure(QStringLiteral("The Python interpreter could not be started: %1")
                            .arg(statusText(status))));
        return;
    }
    deliver(callResolver(pastedText, environment));
    if (Py_FinalizeEx() < 0)
        qDebug("Python finalization reported an error");
}

ResolvedAccountId PythonResolver::resolve(const QString &pastedText) {
    ResolvedAccountId outcome;
    const SignInConfig config = loadSignInConfig();
    run(pastedText, resolverEnvironment(config, config.timeoutSeconds),
        [&outcome](const ResolvedAccountId &delivered) { outcome = delivered; });
    return outcome;
}

QString PythonResolver::modulePath() {
    for (const QString &folder : moduleFolders()) {
        const QString candidate =
            folder + QLatin1Char('/') + QLatin1String(kModuleName) + QLatin1String(".py");
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    return QString();
}

void PythonResolver::setProgramFolder(const QString &folder) {
    programFolderOverride() = folder;
}

bool PythonResolver::interpreterRunning() {
    return Py_IsInitialized() != 0;
}
