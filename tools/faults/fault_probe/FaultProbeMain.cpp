// Runs the phone's call manager through an impaired loopback network and prints, per case,
// what the user would hear and see.
//
//   fault_probe [--case NAME]... [--direct] [--workdir DIR] [--talk-ms N] [--seed N]
//               [--no-header]
//
// --direct leaves the relays out, for runs where the kernel impairs the loopback itself.
// The exit code is 0 when every case behaved as a user may expect.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/faults/fault_probe/FaultScenario.h"

namespace {

struct Arguments {
    std::vector<std::string> cases;
    FaultRunOptions options;
    uint64_t seed = 0;  // 0: each case's own
    bool header = true;
    bool valid = true;
};

Arguments Parse(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--case" && hasValue) {
            a.cases.push_back(argv[++i]);
        } else if (arg == "--direct") {
            a.options.relay = false;
        } else if (arg == "--workdir" && hasValue) {
            a.options.workDir = argv[++i];
        } else if (arg == "--talk-ms" && hasValue) {
            a.options.talkMs = std::clamp(std::atoi(argv[++i]), 200, 60000);
        } else if (arg == "--seed" && hasValue) {
            a.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--no-header") {
            a.header = false;
        } else {
            a.valid = false;
        }
    }
    return a;
}

std::string LampHistory(const std::vector<uint32_t>& colours) {
    std::string text;
    for (const uint32_t colour : colours) {
        if (!text.empty()) {
            text += '>';
        }
        text += LampName(colour);
    }
    return text.empty() ? "none" : text;
}

void PrintHeader() {
    std::printf("%-13s %6s %7s %9s %7s %9s %6s %6s %6s %-19s %s\n", "case", "sent", "arrived",
                "overtaken", "decoded", "concealed", "heard", "gap", "lines", "lamp", "verdict");
}

void PrintReport(const FaultReport& r) {
    std::printf("%-13s %6u %7u %9u %7u %9u %6u %6u %6zu %-19s %s\n", r.name.c_str(), r.framesSent,
                r.framesArrived, r.framesOvertaken, r.framesDecoded, r.framesConcealed,
                r.framesPlayed, r.longestGapMs, r.lines.size(), LampHistory(r.lamp).c_str(),
                r.Passed() ? "PASS" : "FAIL");
    std::string shown;
    for (const std::string& line : r.lines) {
        shown += (shown.empty() ? "" : " | ") + line;
    }
    std::printf("    shown: %s\n", shown.empty() ? "(nothing)" : shown.c_str());
    std::printf("    silent tail %u ms, REGISTERs at proxy %u, BYEs at far end %u, SIP lost %u\n",
                r.silentTailMs, r.registers, r.byesAtFarEnd, r.sipLost);
    for (const std::string& note : r.notes) {
        std::printf("    note: %s\n", note.c_str());
    }
    for (const std::string& failure : r.failures) {
        std::printf("    FAILED: %s\n", failure.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const Arguments arguments = Parse(argc, argv);
    if (!arguments.valid) {
        std::fprintf(stderr,
                     "usage: fault_probe [--case NAME]... [--direct] [--workdir DIR] "
                     "[--talk-ms N] [--seed N] [--no-header]\n");
        return 2;
    }
    std::vector<FaultCase> cases;
    for (const FaultCase& c : StandardFaultCases()) {
        if (arguments.cases.empty() || std::find(arguments.cases.begin(), arguments.cases.end(),
                                                 c.name) != arguments.cases.end()) {
            cases.push_back(c);
        }
    }
    if (cases.empty()) {
        std::fprintf(stderr, "no such case\n");
        return 2;
    }
    if (arguments.header) {
        PrintHeader();
    }
    bool allPassed = true;
    for (FaultCase c : cases) {
        if (!arguments.options.relay) {
            // The kernel does the impairing; the relays are not there to apply it twice.
            c.impairment = {};
        }
        if (arguments.seed != 0) {
            c.seed = arguments.seed;
        }
        const FaultReport report = RunFaultCase(c, arguments.options);
        PrintReport(report);
        allPassed = allPassed && report.Passed();
    }
    return allPassed ? 0 : 1;
}
