#pragma once

#include <array>

namespace testing_support {

// What a run of calls could leak: threads, descriptors, sockets among them; heap in use.
struct ResourceFigures {
    std::array<long, 3> handles{};
    long heap = 0;
};
// Once the handles are back to those of settle, if given (threads may take a moment to go).
ResourceFigures MeasureResources(const ResourceFigures* settle = nullptr);

// Measures when made and again when destroyed, expecting the same handles and the heap within
// heapSlack bytes: declared before a phone, it checks what the phone's life left behind.
class LeakCheck {
public:
    explicit LeakCheck(long heapSlack = 64 * 1024);
    ~LeakCheck();

private:
    ResourceFigures before_;
    long heapSlack_;
};

}  // namespace testing_support
