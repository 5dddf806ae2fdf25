#pragma once

#include <cstddef>
#include <string>

namespace call_testing {

// What a process holds that a long run of calls could leak: threads, open file descriptors
// (sockets among them) and heap in use.
struct SoakProcessFigures {
    long threads = 0;
    long fileDescriptors = 0;
    long sockets = 0;
    size_t heapBytes = 0;

    static SoakProcessFigures Measure();
    // Heap in use: from the sanitizer's allocator when one replaces malloc, else from malloc.
    static size_t HeapInUse();
    bool SameHandles(const SoakProcessFigures& other) const {
        return threads == other.threads && fileDescriptors == other.fileDescriptors &&
               sockets == other.sockets;
    }
    std::string Text() const;
};

}  // namespace call_testing
