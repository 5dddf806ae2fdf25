#include "tools/faults/fault_probe/FaultRelay.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/TThread.h"
#include "tools/faults/fault_probe/SplitMix.h"

namespace {

constexpr size_t kDatagramCapacity = 2048;
// More in flight than this is a queue that has stopped draining; the rest is dropped.
constexpr size_t kMaxInFlight = 4096;
// The longest wait between two looks at the clock while nothing arrives.
constexpr int kIdleWaitMs = 100;
constexpr size_t kRtpHeaderBytes = 12;

uint32_t LoopbackAddress() {
    uint32_t address = 0;
    platform::ParseDottedIpv4("127.0.0.1", &address);
    return address;
}

// Positive when a is later than b on the wrapping millisecond tick.
int32_t TicksBetween(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

uint64_t Pack(const platform::Ipv4Endpoint& endpoint) {
    return (static_cast<uint64_t>(endpoint.address) << 16) | endpoint.port;
}

platform::Ipv4Endpoint Unpack(uint64_t packed) {
    return {static_cast<uint32_t>(packed >> 16), static_cast<uint16_t>(packed & 0xFFFF)};
}

}  // namespace

// One direction: takes datagrams off its input socket, decides their fate, and sends the
// survivors from its output socket once their delay has passed.
class FaultRelay::Pump : public TThread {
public:
    Pump(platform::UdpSocket& in, platform::UdpSocket& out, bool upstream,
         const platform::Ipv4Endpoint& server, std::atomic<uint64_t>& client,
         const Impairment& impairment, uint64_t seed)
        : in_(in),
          out_(out),
          upstream_(upstream),
          server_(server),
          client_(client),
          impairment_(impairment),
          random_(seed) {}
    ~Pump() override { TerminateAndWait(); }

    Counters Snapshot() const {
        Counters c;
        c.received = received_.load();
        c.lost = lost_.load();
        c.overflowed = overflowed_.load();
        c.delivered = delivered_.load();
        c.overtaken = overtaken_.load();
        return c;
    }

protected:
    void Execute() override {
        while (!Terminated()) {
            const platform::UdpSocket::WaitResult ready = in_.WaitReadable(MsUntilNextDue());
            if (ready == platform::UdpSocket::WaitResult::Readable) {
                TakeOne();
            } else if (ready == platform::UdpSocket::WaitResult::Error) {
                SleepUnlessTerminated(kIdleWaitMs);
            }
            SendDue();
        }
    }
    void WakeUp() override { in_.Wake(); }

private:
    struct InFlight {
        uint32_t due;
        uint64_t order;  // keeps datagrams with the same due time in arrival order
        std::string bytes;
    };
    // std::push_heap keeps the greatest on top: "greater" here is "due later".
    static bool DueLater(const InFlight& a, const InFlight& b) {
        const int32_t between = TicksBetween(a.due, b.due);
        return between != 0 ? between > 0 : a.order > b.order;
    }

    int MsUntilNextDue() const {
        if (inFlight_.empty()) {
            return kIdleWaitMs;
        }
        const int32_t left = TicksBetween(inFlight_.front().due, platform::TickCountMs());
        return std::clamp<int32_t>(left, 0, kIdleWaitMs);
    }

    void TakeOne() {
        char buffer[kDatagramCapacity];
        platform::Ipv4Endpoint source;
        const long length = in_.ReceiveFrom(buffer, sizeof(buffer), &source);
        // Cut or failed receives carry nothing worth passing on.
        if (length <= 0 || static_cast<size_t>(length) > sizeof(buffer)) {
            return;
        }
        if (upstream_) {
            client_.store(Pack(source));
        } else if (!(source == server_)) {
            return;
        }
        ++received_;
        // Every datagram draws the same two numbers whatever its fate, so the schedule of
        // one seed does not shift when the loss ratio changes.
        const double lossDraw = random_.Unit();
        const double jitterDraw = random_.Unit();
        if (lossDraw < impairment_.lossRatio) {
            ++lost_;
            return;
        }
        if (inFlight_.size() >= kMaxInFlight) {
            ++overflowed_;
            return;
        }
        const double spread = (2.0 * jitterDraw - 1.0) * impairment_.jitterMs;
        const int delay = std::max(0, static_cast<int>(impairment_.delayMs + spread));
        uint32_t due = platform::TickCountMs() + static_cast<uint32_t>(delay);
        if (impairment_.keepOrder && nextOrder_ > 0 && TicksBetween(lastDue_, due) > 0) {
            due = lastDue_;
        }
        lastDue_ = due;
        inFlight_.push_back({due, nextOrder_++, std::string(buffer, static_cast<size_t>(length))});
        std::push_heap(inFlight_.begin(), inFlight_.end(), DueLater);
    }

    void SendDue() {
        const uint32_t now = platform::TickCountMs();
        while (!inFlight_.empty() && TicksBetween(inFlight_.front().due, now) <= 0) {
            std::pop_heap(inFlight_.begin(), inFlight_.end(), DueLater);
            Deliver(inFlight_.back().bytes);
            inFlight_.pop_back();
        }
    }

    void Deliver(const std::string& bytes) {
        const platform::Ipv4Endpoint to = upstream_ ? server_ : Unpack(client_.load());
        if (to.port == 0) {
            return;
        }
        NoteSequence(bytes);
        if (out_.SendTo(bytes.data(), bytes.size(), to) == static_cast<long>(bytes.size())) {
            ++delivered_;
        }
    }

    void NoteSequence(const std::string& bytes) {
        if (bytes.size() < kRtpHeaderBytes ||
            (static_cast<unsigned char>(bytes[0]) & 0xC0) != 0x80) {
            return;
        }
        const uint16_t sequence = static_cast<uint16_t>(
            (static_cast<unsigned char>(bytes[2]) << 8) | static_cast<unsigned char>(bytes[3]));
        if (seenSequence_ && static_cast<int16_t>(sequence - highestSequence_) <= 0) {
            ++overtaken_;
            return;
        }
        seenSequence_ = true;
        highestSequence_ = sequence;
    }

    platform::UdpSocket& in_;
    platform::UdpSocket& out_;
    const bool upstream_;
    const platform::Ipv4Endpoint server_;
    std::atomic<uint64_t>& client_;
    const Impairment impairment_;
    SplitMix random_;
    std::vector<InFlight> inFlight_;
    uint64_t nextOrder_ = 0;
    uint32_t lastDue_ = 0;
    bool seenSequence_ = false;
    uint16_t highestSequence_ = 0;
    std::atomic<uint32_t> received_{0};
    std::atomic<uint32_t> lost_{0};
    std::atomic<uint32_t> overflowed_{0};
    std::atomic<uint32_t> delivered_{0};
    std::atomic<uint32_t> overtaken_{0};
};

FaultRelay::FaultRelay(const platform::Ipv4Endpoint& server, const Impairment& impairment,
                       uint64_t seed) {
    front_.Bind(0, LoopbackAddress());
    back_.Bind(0, LoopbackAddress());
    SplitMix seeds(seed);
    upstream_ =
        std::make_unique<Pump>(front_, back_, true, server, client_, impairment, seeds.Next());
    downstream_ =
        std::make_unique<Pump>(back_, front_, false, server, client_, impairment, seeds.Next());
    upstream_->Resume();
    downstream_->Resume();
}

FaultRelay::~FaultRelay() {
    upstream_.reset();
    downstream_.reset();
}

uint16_t FaultRelay::FrontPort() const {
    return front_.LocalPort();
}

FaultRelay::Counters FaultRelay::Upstream() const {
    return upstream_->Snapshot();
}

FaultRelay::Counters FaultRelay::Downstream() const {
    return downstream_->Snapshot();
}
