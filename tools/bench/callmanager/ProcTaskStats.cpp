#include "ProcTaskStats.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string ReadFirstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The name sits in parentheses and may hold blanks; the numbered fields follow the last ')'.
void ParseStat(const std::string& line, TaskStats* task) {
    const size_t open = line.find('(');
    const size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return;
    }
    task->name = line.substr(open + 1, close - open - 1);
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    // Field 3 (state) is the first after the name; utime and stime are fields 14 and 15.
    int64_t utime = 0, stime = 0;
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::stoll(field);
        } else if (number == 15) {
            stime = std::stoll(field);
        }
    }
    task->cpuTicks = utime + stime;
}

int64_t VoluntarySwitches(const std::filesystem::path& status) {
    std::ifstream in(status);
    std::string line;
    const std::string key = "voluntary_ctxt_switches:";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::stoll(line.substr(key.size()));
        }
    }
    return 0;
}

}  // namespace

std::vector<TaskStats> ReadTasks(const std::string& pid) {
    std::vector<TaskStats> tasks;
    const std::filesystem::path folder = "/proc/" + pid + "/task";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        TaskStats task;
        task.tid = std::atoi(entry.path().filename().c_str());
        ParseStat(ReadFirstLine(entry.path() / "stat"), &task);
        std::istringstream schedstat(ReadFirstLine(entry.path() / "schedstat"));
        schedstat >> task.runNanoseconds;
        task.voluntarySwitches = VoluntarySwitches(entry.path() / "status");
        tasks.push_back(task);
    }
    return tasks;
}

TaskStats FindTask(const std::vector<TaskStats>& tasks, int tid) {
    for (const TaskStats& task : tasks) {
        if (task.tid == tid) {
            return task;
        }
    }
    return {};
}

double TicksPerSecond() {
    return static_cast<double>(sysconf(_SC_CLK_TCK));
}
