// Parser throughput next to libosip2's, on the same datagrams in the same process. Each
// datagram is parsed in rounds that alternate between the parsers (and alternate which goes
// first), so that frequency changes and other load on the machine fall on both alike.
// Our parser picks the SIP fields and the SDP fields from one datagram; libosip2 is timed
// on the SIP message alone and on the SIP message with its SDP body parsed as well.
// Every parse includes building and freeing the parsed message, as in use.
//   parser_osip_bench [CORPUS_DIR] [ROUNDS]
#include <osipparser2/osip_parser.h>
#include <osipparser2/sdp_message.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "sip/SIPSDPModule.h"
#include "tools/bench/parser/ParserCorpus.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

// Parses per timed batch: long enough to dwarf reading the clock, short enough that many
// batches of each parser interleave.
constexpr int kBatch = 200;

bool OursAccepts(const std::string& bytes) {
    return SIPSDPModule::ParseMessage(bytes.data(), bytes.size()) != nullptr;
}

bool OsipAccepts(const std::string& bytes, bool withSdp) {
    osip_message_t* message = nullptr;
    if (osip_message_init(&message) != 0) {
        return false;
    }
    bool accepted = osip_message_parse(message, bytes.data(), bytes.size()) == 0;
    if (accepted && withSdp) {
        osip_body_t* body = nullptr;
        if (osip_message_get_body(message, 0, &body) >= 0 && body != nullptr &&
            body->body != nullptr) {
            sdp_message_t* sdp = nullptr;
            if (sdp_message_init(&sdp) == 0) {
                accepted = sdp_message_parse(sdp, body->body) == 0;
                sdp_message_free(sdp);
            }
        }
    }
    osip_message_free(message);
    return accepted;
}

struct Contender {
    const char* name;
    std::function<bool(const std::string&)> parse;
    double seconds = 0;  // summed over the corpus, one parse of each datagram
};

double TimeBatch(const Contender& contender, const std::string& bytes) {
    const auto start = SteadyClock::now();
    for (int i = 0; i < kBatch; ++i) {
        contender.parse(bytes);
    }
    return std::chrono::duration<double>(SteadyClock::now() - start).count() / kBatch;
}

// Seconds per parse of one datagram for each contender, each the median over the rounds.
std::vector<double> MeasureDatagram(std::vector<Contender>& contenders, const std::string& bytes,
                                    int rounds) {
    std::vector<std::vector<double>> samples(contenders.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            const size_t which = round % 2 == 0 ? k : contenders.size() - 1 - k;
            samples[which].push_back(TimeBatch(contenders[which], bytes));
        }
    }
    std::vector<double> medians;
    for (std::vector<double>& s : samples) {
        std::sort(s.begin(), s.end());
        medians.push_back(s[s.size() / 2]);
    }
    return medians;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path folder = argc > 1 ? argv[1] : SOFTPHONE_PARSER_CORPUS;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
    const std::vector<Datagram> corpus = LoadCorpus(folder);
    if (corpus.empty()) {
        std::fprintf(stderr, "usage: parser_osip_bench [CORPUS_DIR] [ROUNDS]\n");
        return 1;
    }
    parser_init();
    std::vector<Contender> contenders = {
        {"ours (SIP+SDP)", OursAccepts},
        {"libosip2 (SIP)", [](const std::string& b) { return OsipAccepts(b, false); }},
        {"libosip2 (SIP+SDP)", [](const std::string& b) { return OsipAccepts(b, true); }},
    };

    std::printf("%zu datagrams from %s, %d interleaved rounds of %d parses each\n", corpus.size(),
                folder.c_str(), rounds, kBatch);
    std::printf("%-24s %6s  %-22s %-22s %-22s %s\n", "datagram", "bytes", "ours us/parse",
                "osip us/parse", "osip+sdp us/parse", "osip/ours  osip+sdp/ours");
    for (const Datagram& datagram : corpus) {
        const std::vector<double> perParse = MeasureDatagram(contenders, datagram.bytes, rounds);
        for (size_t k = 0; k < contenders.size(); ++k) {
            contenders[k].seconds += perParse[k];
        }
        const auto accepted = [&](size_t k) {
            return contenders[k].parse(datagram.bytes) ? "" : " (refused)";
        };
        std::printf("%-24s %6zu  %8.3f%-14s %8.3f%-14s %8.3f%-14s %5.2f  %5.2f\n",
                    datagram.name.c_str(), datagram.bytes.size(), 1e6 * perParse[0], accepted(0),
                    1e6 * perParse[1], accepted(1), 1e6 * perParse[2], accepted(2),
                    perParse[1] / perParse[0], perParse[2] / perParse[0]);
    }
    const double count = static_cast<double>(corpus.size());
    for (const Contender& contender : contenders) {
        std::printf("%-20s %10.0f datagrams/s over the corpus\n", contender.name,
                    count / contender.seconds);
    }
    std::printf(
        "ratio: ours is %.2fx as fast as libosip2 (SIP only), %.2fx as fast as "
        "libosip2 with SDP\n",
        contenders[1].seconds / contenders[0].seconds,
        contenders[2].seconds / contenders[0].seconds);
    return 0;
}
