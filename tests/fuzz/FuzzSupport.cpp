#include "FuzzSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <memory>

namespace fuzz {

void silenceDebugOutput() {
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
}

QString scratchDir() {
    static std::unique_ptr<QTemporaryDir> dir;
    if (!dir) {
        const QFileInfo memory(QStringLiteral("/dev/shm"));
        const QString base =
            memory.isDir() && memory.isWritable() ? memory.filePath() : QDir::tempPath();
        dir = std::make_unique<QTemporaryDir>(base + QStringLiteral("/corvane-fuzz-XXXXXX"));
        expect(dir->isValid(), "a scratch folder");
        std::atexit([] { dir.reset(); });
    }
    return dir->path();
}

} // namespace fuzz

// Freed memory is kept from reuse for a while to catch use after free; the
// default 256 MB of it alone would cross the 256 MB limit of a fuzzing run.
// No input of a few KB has a reason to ask for 64 MB at once.
extern "C" const char *__asan_default_options() {
    return "quarantine_size_mb=16:max_allocation_size_mb=64";
}
