#include "tests/support/LeakCheck.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "tests/support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();  // g++ ships no header for it
#define HEAP_IN_USE() __sanitizer_get_current_allocated_bytes()
#else
#include <malloc.h>
#define HEAP_IN_USE() mallinfo2().uordblks
#endif

namespace testing_support {

ResourceFigures MeasureResources(const ResourceFigures* settle) {
    WaitUntil([&] { return settle == nullptr || MeasureResources().handles == settle->handles; },
              3000, 20);
    ResourceFigures f;
    for (const char* folder : {"/proc/self/task", "/proc/self/fd"}) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::error_code error;
            ++f.handles[folder[11] == 'f'];
            f.handles[2] +=
                std::filesystem::read_symlink(entry, error).string().starts_with("socket:");
        }
    }
    f.heap = static_cast<long>(HEAP_IN_USE());  // last, once the walks gave it back
    return f;
}

LeakCheck::LeakCheck(long heapSlack) : heapSlack_(heapSlack) {
    // Sanitizers start a helper thread with the first thread; the walks cost more the first time.
    std::thread([] {}).join();
    MeasureResources();
    before_ = MeasureResources();
}

LeakCheck::~LeakCheck() {
    const ResourceFigures after = MeasureResources(&before_);
    EXPECT_EQ(after.handles, before_.handles) << "threads, descriptors, sockets";
    EXPECT_LE(after.heap - before_.heap, heapSlack_) << "heap in use";
}

}  // namespace testing_support
