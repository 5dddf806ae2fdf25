// The delay from an INVITE's arrival at an idle, registered call manager to its 100 Trying,
// as the proxy sees it: the stand-in proxy on loopback takes the time just before it sends
// each INVITE and just after the 100 Trying is read (steady clock). On loopback the INVITE
// is in the phone's socket when sendto returns, so the figure is arrival to answer plus
// the proxy's own wake-up. The INVITEs offer no G.729, so each ends at once with 415 and
// the phone is idle again for the next one; the 100 Trying goes out before that check.
// Every Call-ID begins with "trying-bench-", for matching in a capture.
//   trying_latency_bench [SAMPLES]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "BenchPhone.h"
#include "BenchProxy.h"
#include "call/CallManagerThread.h"
#include "platform/Clock.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string Invite(int sample, uint16_t proxyPort) {
    const std::string callId = "trying-bench-" + std::to_string(sample);
    const std::string sdp =
        "v=0\r\no=bench 1 1 IN IP4 127.0.0.1\r\ns=bench\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
        "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    return "INVITE sip:1001@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:" +
           std::to_string(proxyPort) + ";branch=z9hG4bKbench" + std::to_string(sample) +
           "\r\n"
           "Max-Forwards: 69\r\n"
           "From: \"3456\" <sip:3456@127.0.0.1>;tag=bench" +
           std::to_string(sample) +
           "\r\n"
           "To: <sip:1001@127.0.0.1>\r\n"
           "Contact: <sip:3456@127.0.0.1:" +
           std::to_string(proxyPort) +
           ">\r\n"
           "Call-ID: " +
           callId +
           "\r\n"
           "CSeq: 102 INVITE\r\n"
           "Content-Type: application/sdp\r\n"
           "Content-Length: " +
           std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

double Percentile(const std::vector<double>& sorted, double fraction) {
    const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1));
    return sorted[index];
}

// Reads until the 100 Trying of this call; other datagrams (its 415) are skipped.
std::optional<SteadyClock::time_point> AwaitTrying(BenchProxy& proxy, const std::string& callId) {
    const auto deadline = SteadyClock::now() + std::chrono::seconds(2);
    while (SteadyClock::now() < deadline) {
        const std::optional<std::string> datagram = proxy.Receive(500);
        const auto received = SteadyClock::now();
        if (datagram && datagram->rfind("SIP/2.0 100 ", 0) == 0 &&
            HeaderValue(*datagram, "Call-ID: ") == callId) {
            return received;
        }
    }
    return std::nullopt;
}

// Everything that is still on its way (the 415 of the last INVITE).
void Drain(BenchProxy& proxy) {
    while (proxy.Receive(30)) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(2, std::atoi(argv[1])) : 1000;
    BenchProxy proxy;
    if (!proxy.IsValid()) {
        std::fprintf(stderr, "trying_latency_bench: no loopback socket\n");
        return 1;
    }
    SilentList list;
    CallManagerThread manager(true);
    ConfigureBenchPhone(manager, list, proxy.Port());
    manager.Start();
    manager.Resume();
    if (!proxy.AcceptRegistration(5000)) {
        std::fprintf(stderr, "trying_latency_bench: the call manager did not register\n");
        return 1;
    }
    Drain(proxy);

    // Random gaps spread the arrivals evenly over the loop's 5 ms cycle.
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> gapMs(3, 17);
    std::vector<double> delays;
    int lost = 0;
    for (int sample = 0; sample < samples; ++sample) {
        const std::string invite = Invite(sample, proxy.Port());
        const auto sent = SteadyClock::now();
        proxy.SendToPhone(invite);
        const std::optional<SteadyClock::time_point> trying =
            AwaitTrying(proxy, "trying-bench-" + std::to_string(sample));
        if (!trying) {
            ++lost;
            continue;
        }
        delays.push_back(std::chrono::duration<double, std::milli>(*trying - sent).count());
        Drain(proxy);
        platform::SleepMs(gapMs(random));
    }
    manager.TerminateAndWait();
    if (delays.size() < 2) {
        std::fprintf(stderr, "trying_latency_bench: no 100 Trying came back\n");
        return 1;
    }
    std::sort(delays.begin(), delays.end());
    double sum = 0;
    for (const double d : delays) {
        sum += d;
    }
    std::printf(
        "INVITE sent to 100 Trying read (steady clock at the proxy), %zu samples, %d lost:\n",
        delays.size(), lost);
    std::printf("  min %.3f ms, median %.3f ms, mean %.3f ms, p99 %.3f ms, max %.3f ms\n",
                delays.front(), Percentile(delays, 0.5), sum / static_cast<double>(delays.size()),
                Percentile(delays, 0.99), delays.back());
    return lost == 0 ? 0 : 1;
}
