#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "platform/TCriticalSection.h"

// User operations posted from the window's thread for the call manager's thread to run.
// The lock guards the list only: commands run after it is released.
class CallCommandQueue {
public:
    using Command = std::function<void()>;

    // Refused (false) once Close has been called.
    bool Post(Command command);
    // Takes every waiting command, oldest first.
    std::vector<Command> TakeAll();
    // Drops what is waiting and refuses later posts.
    void Close();

private:
    TCriticalSection lock_;
    std::deque<Command> commands_;
    bool closed_ = false;
};
