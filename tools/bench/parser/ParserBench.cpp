// Prints how many datagrams per second the SIP/SDP parser handles, for each datagram of the
// corpus and over all of them.
//   parser_bench [CORPUS_DIR] [SECONDS_PER_FILE]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"
#include "tools/bench/parser/ParserCorpus.h"

namespace {

// Parses the datagram over and over for about the given time, emptying the queue as the
// call manager would; returns datagrams per second.
double Measure(const std::string& bytes, double seconds, long* queued) {
    CSIPSDPMessageQueue queue;
    SIPSDPModule parser(&queue);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    long parsed = 0;
    auto now = start;
    while (now < end) {
        for (int i = 0; i < 256; ++i) {
            parser.Parse(bytes.data(), bytes.size());
            if (queue.PeekHead() >= 0) {
                ++*queued;
                queue.RemoveHead();
            }
        }
        parsed += 256;
        now = Clock::now();
    }
    return parsed / std::chrono::duration<double>(now - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path folder = argc > 1 ? argv[1] : SOFTPHONE_PARSER_CORPUS;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0.5;
    const std::vector<Datagram> corpus = LoadCorpus(folder);
    if (corpus.empty() || seconds <= 0) {
        std::fprintf(stderr, "usage: parser_bench [CORPUS_DIR] [SECONDS_PER_FILE]\n");
        return 1;
    }
    double totalTime = 0;
    for (const Datagram& datagram : corpus) {
        long queued = 0;
        const double rate = Measure(datagram.bytes, seconds, &queued);
        totalTime += 1.0 / rate;
        std::printf("%-28s %5zu bytes %12.0f datagrams/s%s\n", datagram.name.c_str(),
                    datagram.bytes.size(), rate, queued == 0 ? "  (dropped)" : "");
    }
    // One pass over every file, at the measured rates.
    std::printf("%-28s %11s %12.0f datagrams/s\n", "corpus (mean)", "",
                static_cast<double>(corpus.size()) / totalTime);
    return 0;
}
