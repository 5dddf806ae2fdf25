#include "tests/call/SoakProcessFigures.h"

#include <filesystem>
#include <system_error>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SOAK_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SOAK_SANITIZER_HEAP 1
#endif
#endif

#ifdef SOAK_SANITIZER_HEAP
#if __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#else
// g++ ships the sanitizer runtimes without their interface headers; the entry is stable.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#else
#include <malloc.h>
#endif

namespace call_testing {

namespace {

namespace fs = std::filesystem;

// Entries of a /proc directory; the directory's own descriptor is counted the same way
// every time, so figures taken alike compare.
long CountEntries(const char* folder, long* sockets) {
    long entries = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        ++entries;
        if (sockets != nullptr) {
            std::error_code linkError;
            const fs::path target = fs::read_symlink(it->path(), linkError);
            if (!linkError && target.native().rfind("socket:", 0) == 0) {
                ++*sockets;
            }
        }
    }
    return entries;
}

}  // namespace

size_t SoakProcessFigures::HeapInUse() {
#ifdef SOAK_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

SoakProcessFigures SoakProcessFigures::Measure() {
    SoakProcessFigures figures;
    figures.threads = CountEntries("/proc/self/task", nullptr);
    figures.fileDescriptors = CountEntries("/proc/self/fd", &figures.sockets);
    // Last, once the directory walks have given their memory back.
    figures.heapBytes = HeapInUse();
    return figures;
}

std::string SoakProcessFigures::Text() const {
    return "threads " + std::to_string(threads) + ", descriptors " +
           std::to_string(fileDescriptors) + " (sockets " + std::to_string(sockets) +
           "), heap in use " + std::to_string(heapBytes) + " bytes";
}

}  // namespace call_testing
