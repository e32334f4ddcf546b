#include "FuzzSupport.h"

#include <QLoggingCategory>

namespace fuzz {

void silenceDebugOutput() {
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
}

} // namespace fuzz

// Freed memory is kept from reuse for a while to catch use after free; the
// default 256 MB of it alone would cross the 256 MB limit of a fuzzing run.
extern "C" const char *__asan_default_options() {
    return "quarantine_size_mb=16";
}
