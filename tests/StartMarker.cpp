// Linked into every Windows test program. tools/wine-run --test names a file in
// PENDRA_START_MARKER; the program writes "started PID" there as soon as its own code runs and
// "ended PID" at its normal exit. A run that left no line never reached the program: Wine failed
// to start it, and only such a run is tried again.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// False when the line could not be written.
bool mark(const char* what) {
    const char* path = std::getenv("PENDRA_START_MARKER");
    if (path == nullptr || *path == '\0') {
        return true;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "ab"));
    return file && std::fprintf(file.get(), "%s %lu\n", what, GetCurrentProcessId()) > 0 &&
           std::fflush(file.get()) == 0;
}

void markEnd() {
    mark("ended");
}

// Static initialisation: before main and before any test is registered or run. Without its
// line the run would count as never started, so a program that cannot write it runs no test.
[[maybe_unused]] const bool started = [] {
    if (!mark("started")) {
        std::fputs("StartMarker: cannot write the file named in PENDRA_START_MARKER\n", stderr);
        std::_Exit(125);
    }
    std::atexit(markEnd);
    return true;
}();

} // namespace
