#pragma once
// What every fuzz target shares: the entry points libFuzzer calls (the
// regression driver calls the same ones), quiet logging, and the check that
// turns a broken promise of the code under test into a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <QString>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

namespace fuzz {

// The product's debug lines (one per exchange, say) would cost more than the
// code under test; warnings still show.
void silenceDebugOutput();

// A folder of this process's own for the files a target writes or lets the
// code under test write; removed at exit. In memory where /dev/shm is: a file
// rewritten on disk thousands of times a second waits for the disk.
QString scratchDir();

// An input that breaks `promise` is a finding like a crash.
inline void expect(bool promise, const char *what) {
    if (!promise) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

} // namespace fuzz
