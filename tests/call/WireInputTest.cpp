// Hostile input on the wire: floods of malformed datagrams on the phone's SIP port (from the
// proxy's own address) and RTP port (during a call), and datagrams from strangers, with
// the real transport, parser, call manager, RTP session and codec, over virtual audio.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "call/CallManagerThread.h"
#include "media/CodecBinding.h"
#include "platform/AudioVirtual.h"
#include "platform/AudioWavFile.h"
#include "platform/TCriticalSection.h"
#include "platform/UdpSocket.h"
#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"
#include "sip/SIPSendRecvThread.h"
#include "tests/call/CallSippSupport.h"
#include "tests/call/HostileDatagrams.h"
#include "tests/support/TestSupport.h"

namespace {

using call_testing::CallPorts;
using call_testing::FirstLine;
using call_testing::HeaderValue;
using call_testing::TestPhone;
using testing_support::WaitUntil;
using wire_testing::HostileDatagrams;
using wire_testing::RtpPacket;
using wire_testing::SipMessage;

constexpr int kIdle = CallManagerThread::Idle;
constexpr int kIncoming = CallManagerThread::Incoming;
constexpr uint32_t kFarEndSsrc = 0x5EED0001;
constexpr uint16_t kFirstFarEndSequence = 1000;
// The phone plays 20 bytes of G.729 (two frames) as 320 bytes of PCM.
constexpr int kPcmPerPacket = 320;

// A fixed seed keeps the suite repeatable; SOFTPHONE_WIRE_SEED explores others.
uint32_t WireSeed() {
    const char* text = std::getenv("SOFTPHONE_WIRE_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 20240611u;
}

// A UDP socket on a loopback address that sends to the phone and hears what comes back.
class LoopbackSocket {
public:
    explicit LoopbackSocket(const char* address = "127.0.0.1", uint16_t port = 0) {
        uint32_t bound = 0;
        platform::ParseDottedIpv4(address, &bound);
        socket_.SetReuseAddress();
        socket_.Bind(port, bound);
    }
    uint16_t Port() const { return socket_.LocalPort(); }
    bool SendTo(const std::string& bytes, uint16_t port) {
        uint32_t loopback = 0;
        platform::ParseDottedIpv4("127.0.0.1", &loopback);
        return socket_.SendTo(bytes.data(), bytes.size(), {loopback, port}) ==
               static_cast<long>(bytes.size());
    }
    std::optional<std::string> Receive(int timeoutMs) {
        if (socket_.WaitReadable(timeoutMs) != platform::UdpSocket::WaitResult::Readable) {
            return std::nullopt;
        }
        std::string buffer(wire_testing::kLargestDatagram + 1, '\0');
        platform::Ipv4Endpoint from;
        const long length = socket_.ReceiveFrom(buffer.data(), buffer.size(), &from);
        if (length < 0 || static_cast<size_t>(length) > buffer.size()) {
            return std::nullopt;
        }
        buffer.resize(static_cast<size_t>(length));
        return buffer;
    }
    // What has arrived so far (the phone sends on loopback before its cycle returns), or
    // what arrives within windowMs of silence.
    std::vector<std::string> ReceiveAll(int windowMs = 0) {
        std::vector<std::string> all;
        while (auto datagram = Receive(windowMs)) {
            all.push_back(*datagram);
        }
        return all;
    }

private:
    platform::UdpSocket socket_;
};

// The window's message list, cheap to search however long the flood makes it.
class WatchedMessageList final : public MessageListView {
public:
    void AppendRow(const std::string& row) override {
        std::lock_guard<TCriticalSection> guard(lock_);
        rows_.insert(row);
    }
    void ShowLastRows(int) override {}
    bool Has(const std::string& row) {
        std::lock_guard<TCriticalSection> guard(lock_);
        return rows_.count(row) > 0;
    }

private:
    TCriticalSection lock_;
    std::set<std::string> rows_;
};

std::string Sdp(uint16_t rtpPort, const std::string& payloads) {
    return "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
           "m=audio " +
           std::to_string(rtpPort) + " RTP/AVP " + payloads + "\r\n";
}

// An INVITE as the proxy relays a caller's call.
std::string IncomingInvite(const std::string& callId, const std::string& payloads) {
    return SipMessage(
        {"INVITE sip:1001@127.0.0.1 SIP/2.0",
         "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" + callId, "Max-Forwards: 70",
         "From: <sip:3456@127.0.0.1>;tag=caller", "To: <sip:1001@127.0.0.1>", "Call-ID: " + callId,
         "CSeq: 1 INVITE", "Contact: <sip:3456@127.0.0.1:5060>", "Content-Type: application/sdp"},
        Sdp(40000, payloads));
}

// The operator's balance notice; the phone shows ">Balance:<tag>" for it.
std::string BalanceNotice(const std::string& tag) {
    return SipMessage({"OPTIONS sip:1001@127.0.0.1 SIP/2.0",
                       "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK" + tag,
                       "From: <sip:billing@127.0.0.1>;tag=b", "To: <sip:1001@127.0.0.1>",
                       "Call-ID: " + tag + "@wire", "CSeq: 1 OPTIONS",
                       "InfiNETBilling: account-1001-funds:" + tag + " 0;"});
}

// The callee's response to the phone's INVITE, its dialog headers copied.
std::string ResponseTo(const std::string& invite, const std::string& status,
                       const std::string& body = {}) {
    std::vector<std::string> lines = {"SIP/2.0 " + status};
    size_t start = 0;
    while (start < invite.size()) {
        const size_t end = invite.find("\r\n", start);
        const std::string line = invite.substr(start, end - start);
        if (line.rfind("Via: ", 0) == 0) {
            lines.push_back(line);
        }
        if (end == std::string::npos || line.empty()) {
            break;
        }
        start = end + 2;
    }
    lines.push_back("From: " + HeaderValue(invite, "From: "));
    lines.push_back("To: " + HeaderValue(invite, "To: ") + ";tag=callee");
    lines.push_back("Call-ID: " + HeaderValue(invite, "Call-ID: "));
    lines.push_back("CSeq: " + HeaderValue(invite, "CSeq: "));
    lines.push_back("Contact: <sip:4321@127.0.0.1>");
    if (!body.empty()) {
        lines.push_back("Content-Type: application/sdp");
    }
    return SipMessage(lines, body);
}

std::vector<std::string> WithCallId(const std::vector<std::string>& messages,
                                    const std::string& callId) {
    std::vector<std::string> found;
    for (const std::string& message : messages) {
        if (HeaderValue(message, "Call-ID: ") == callId) {
            found.push_back(message);
        }
    }
    return found;
}

std::vector<std::string> ResponsesOnly(const std::vector<std::string>& messages) {
    std::vector<std::string> found;
    for (const std::string& message : messages) {
        if (message.rfind("SIP/2.0 ", 0) == 0) {
            found.push_back(message);
        }
    }
    return found;
}

// Whether the transport hands this datagram to the parser and the parser to the queue.
bool ReachesQueue(const std::string& datagram) {
    return static_cast<long>(datagram.size()) > CSIPSendRecvThread::kMinimumDatagram &&
           datagram.size() <= static_cast<size_t>(CSIPSendRecvThread::kReceiveBufferSize) &&
           SIPSDPModule::ParseMessage(datagram.data(), datagram.size()) != nullptr;
}

class WireInputTest : public ::testing::Test {
protected:
    WireInputTest() {
        CallPorts ports = call_testing::PickCallPorts();
        ports.sipp = proxy.Port();
        ports.peerRtp = farEnd.Port();
        ports_ = ports;
        phone = std::make_unique<TestPhone>(ports);
        phone->manager->SetMessageList(&rows);
    }

    CallManagerThread& Manager() { return *phone->manager; }
    bool InState(int state) { return phone->InState(state); }
    bool SendSip(const std::string& bytes) { return proxy.SendTo(bytes, ports_.phoneSip); }
    bool SendRtp(const std::string& bytes) { return farEnd.SendTo(bytes, ports_.phoneRtp); }

    // G.729 of a steady 1 kHz tone, two frames per packet, made before any call: the codec
    // library keeps one encoder state per process, which the call's capture side then uses.
    void EncodeTone(int packets) {
        CodecBinding codec(Manager().CodecLibrary);
        ASSERT_TRUE(codec.Bound());
        codec.InitEncoder();
        short speech[CodecBinding::kFrameSamples];
        int sample = 0;
        for (int p = 0; p < packets; ++p) {
            std::string payload;
            for (int f = 0; f < 2; ++f) {
                for (short& s : speech) {
                    s = static_cast<short>(
                        8000.0 * std::sin(2.0 * std::numbers::pi * 1000.0 * sample++ / 8000.0));
                }
                unsigned char frame[CodecBinding::kFrameBytes];
                codec.Encode(speech, frame);
                payload.append(reinterpret_cast<const char*>(frame), sizeof(frame));
            }
            tone_.push_back(payload);
        }
    }

    std::string FarEndPacket(int index) {
        const uint16_t sequence = static_cast<uint16_t>(kFirstFarEndSequence + index);
        return RtpPacket(18, sequence, sequence * 160u, kFarEndSsrc,
                         tone_[static_cast<size_t>(index) % tone_.size()]);
    }

    // Dial; the proxy answers (100, optionally 180, 200 with SDP for the far end's socket);
    // the phone acknowledges and opens its voice channel.
    void EstablishCall(bool ringBack) {
        ASSERT_TRUE(Manager().DoDial("4321"));
        const std::optional<std::string> invite = proxy.Receive(3000);
        ASSERT_TRUE(invite.has_value());
        ASSERT_EQ(FirstLine(*invite), "INVITE sip:4321@127.0.0.1 SIP/2.0");
        ASSERT_TRUE(SendSip(ResponseTo(*invite, "100 Trying")));
        if (ringBack) {
            ASSERT_TRUE(SendSip(ResponseTo(*invite, "180 Ringing")));
        }
        ASSERT_TRUE(SendSip(ResponseTo(*invite, "200 OK", Sdp(farEnd.Port(), "18"))));
        ASSERT_TRUE(phone->RunUntil([&] { return Manager().Connected && Manager().VoiceOpen; }));
        if (ringBack) {
            EXPECT_TRUE(rows.Has(">Ringing!"));
        }
        const std::vector<std::string> acks = proxy.ReceiveAll();
        ASSERT_EQ(acks.size(), 1u);
        EXPECT_EQ(FirstLine(acks[0]), "ACK sip:4321@127.0.0.1 SIP/2.0");
        EXPECT_EQ(HeaderValue(acks[0], "To: "), HeaderValue(*invite, "To: ") + ";tag=callee");
        EXPECT_EQ(HeaderValue(acks[0], "Call-ID: "), HeaderValue(*invite, "Call-ID: "));
        ASSERT_NE(Manager().Playback, nullptr);
    }

    // The phone's own voice reaches the far end: 32-byte G.729 packets.
    void ExpectPhoneSendsVoice() {
        for (int i = 0; i < 5; ++i) {
            const std::string packet = farEnd.Receive(3000).value_or("");
            ASSERT_EQ(packet.size(), 32u) << "packet " << i;
            EXPECT_EQ(static_cast<unsigned char>(packet[0]), 0x80);
            EXPECT_EQ(static_cast<unsigned char>(packet[1]), 18);
        }
    }

    void HangUpCall() {
        Manager().DoHangUp();
        EXPECT_TRUE(InState(kIdle));
        EXPECT_FALSE(Manager().VoiceOpen);
        EXPECT_EQ(Manager().Playback, nullptr);
        EXPECT_EQ(Manager().RtpSession, nullptr);
        std::vector<std::string> byes;
        for (const std::string& message : proxy.ReceiveAll()) {
            if (message.rfind("BYE ", 0) == 0) {
                byes.push_back(message);
            }
        }
        ASSERT_TRUE(call_testing::SentTwiceIdentically(byes)) << byes.size();
        EXPECT_EQ(FirstLine(byes[0]), "BYE sip:4321@127.0.0.1 SIP/2.0");
        EXPECT_TRUE(rows.Has(">Call cleared!"));
    }

    // Sends a balance notice and runs the loop until its line shows: then everything sent
    // before it has been parsed and, as far as the queue took it, handled. A notice that
    // met a full queue is lost like any message, and sent again under a new tag.
    ::testing::AssertionResult ThroughToTheLoop(const std::string& tag) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            const std::string tagged = tag + "-" + std::to_string(attempt);
            if (!SendSip(BalanceNotice(tagged))) {
                return ::testing::AssertionFailure() << "cannot send to the phone";
            }
            if (phone->RunUntil([&] { return rows.Has(">Balance:" + tagged); }, 300)) {
                return ::testing::AssertionSuccess();
            }
        }
        return ::testing::AssertionFailure() << "no balance notice got through";
    }

    // Waits until the call's receive thread has dealt with this many datagrams.
    ::testing::AssertionResult ReceiveThreadTook(uint32_t datagrams) {
        CUDPReceiveThread* thread = Manager().Playback->ReceiveThread();
        if (WaitUntil([&] { return thread->DatagramsReceived() >= datagrams; }, 5000, 1)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "the receive thread took " << thread->DatagramsReceived() << " of " << datagrams
               << " datagrams";
    }

    // validPackets of the far end's tone, with garbagePerPacket hostile datagrams before
    // each after the first two, and now and then the far end's next packet from a stranger.
    // paced: the tone's packets leave 20 ms apart, as a far end sends them.
    void FloodRtpDuringCall(HostileDatagrams& hostile, int validPackets, int garbagePerPacket,
                            bool paced = false) {
        const auto start = std::chrono::steady_clock::now();
        LoopbackSocket strangerSamePort("127.0.0.5", farEnd.Port());
        LoopbackSocket strangerSameAddress("127.0.0.1");
        uint32_t fromFarEnd = 0;
        // Two packets in sequence first: the source passes its probation and the receive
        // thread fixes on its SSRC before any noise arrives.
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(SendRtp(FarEndPacket(i)));
            ++fromFarEnd;
        }
        ASSERT_TRUE(ReceiveThreadTook(fromFarEnd));
        for (int i = 2; i < validPackets; ++i) {
            const uint16_t next = static_cast<uint16_t>(kFirstFarEndSequence + i);
            for (int g = 0; g < garbagePerPacket; ++g) {
                const std::string garbage = hostile.NextRtp(kFarEndSsrc, next);
                SCOPED_TRACE(hostile.LastKind());
                ASSERT_TRUE(SendRtp(garbage));
                ++fromFarEnd;
                // Oversized datagrams fill the socket's buffer quickly: keep it drained.
                if (fromFarEnd % 10 == 0 || garbage.size() > 1500) {
                    ASSERT_TRUE(ReceiveThreadTook(fromFarEnd));
                }
            }
            if (i % 8 == 0) {
                // What the far end would send next, 40 bytes of it, from the wrong socket.
                const std::string impostor =
                    RtpPacket(18, next, next * 160u, kFarEndSsrc, tone_[0] + tone_[1]);
                ASSERT_TRUE(strangerSamePort.SendTo(impostor, ports_.phoneRtp));
                ASSERT_TRUE(strangerSameAddress.SendTo(impostor, ports_.phoneRtp));
            }
            if (paced) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * i));
            }
            ASSERT_TRUE(SendRtp(FarEndPacket(i)));
            ++fromFarEnd;
        }
        ASSERT_TRUE(ReceiveThreadTook(fromFarEnd));
        EXPECT_TRUE(strangerSamePort.ReceiveAll().empty());
        EXPECT_TRUE(strangerSameAddress.ReceiveAll().empty());
    }

    const uint32_t seed = WireSeed();
    LoopbackSocket proxy;
    LoopbackSocket farEnd;
    WatchedMessageList rows;
    std::unique_ptr<TestPhone> phone;
    CallPorts ports_;
    std::vector<std::string> tone_;
};

// ---- the SIP port ----

constexpr int kHostileSipDatagrams = 4000;
// A burst is parsed whole by the transport thread while the call manager waits, so beyond
// the queue's five slots its messages are refused there and lost, as from a proxy that
// floods the phone; the first five are handled.
constexpr int kBurst = 32;
constexpr int kQueueSlots = CSIPSDPMessageQueue::kCapacity;
constexpr size_t kLargestParsed = CSIPSendRecvThread::kReceiveBufferSize;

TEST_F(WireInputTest, SipFloodFromTheProxyLeavesThePhoneWorking) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " (SOFTPHONE_WIRE_SEED replays it)");
    HostileDatagrams hostile(seed);
    EncodeTone(20);
    std::optional<std::string> carried;
    int sent = 0;
    int batch = 0;
    int probes = 0;
    int hangUps = 0;
    while (sent < kHostileSipDatagrams) {
        // Each batch: perhaps a valid INVITE that must be refused with 415 (no G.729), which
        // meets an empty queue; a burst of hostile datagrams; then a balance notice whose
        // line shows the whole batch has been dealt with.
        const bool probe = batch % 3 == 0;
        const std::string probeCallId = "probe-" + std::to_string(batch) + "@wire";
        int toQueue = 0;
        if (probe) {
            ASSERT_TRUE(SendSip(IncomingInvite(probeCallId, "0 8 101")));
            ++probes;
            ++toQueue;
        }
        std::vector<std::string> kinds;
        bool oversized = false;
        while (static_cast<int>(kinds.size()) < kBurst && sent < kHostileSipDatagrams) {
            std::string datagram = carried ? *carried : hostile.NextSip();
            const std::string kind = carried ? "carried over" : hostile.LastKind();
            carried.reset();
            // One datagram beyond the transport's buffer per burst keeps the socket's own
            // buffer from overflowing.
            const bool large = datagram.size() > kLargestParsed;
            if (large && oversized) {
                carried = std::move(datagram);
                break;
            }
            oversized = oversized || large;
            toQueue += ReachesQueue(datagram) ? 1 : 0;
            kinds.push_back(kind + " (" + std::to_string(datagram.size()) + " bytes)");
            ASSERT_TRUE(SendSip(datagram)) << kinds.back();
            ++sent;
        }
        // The loop starts taking messages once the burst has filled what it can of the
        // queue (bounded: a datagram the socket dropped never arrives).
        WaitUntil([&] { return Manager().Queue->Count() >= std::min(toQueue, kQueueSlots); }, 1000,
                  1);
        ASSERT_TRUE(phone->RunUntil([&] { return Manager().Queue->Count() == 0; }));
        ASSERT_TRUE(ThroughToTheLoop("mark" + std::to_string(batch)))
            << "batch " << batch << " held: " << ::testing::PrintToString(kinds);

        // Only the responses: a hostile 487 after the probe is acknowledged with an ACK
        // that, for want of a transaction layer, carries the last INVITE's Call-ID.
        const std::vector<std::string> answers =
            ResponsesOnly(WithCallId(proxy.ReceiveAll(), probeCallId));
        if (probe) {
            ASSERT_EQ(answers.size(), 2u) << "batch " << batch;
            EXPECT_EQ(FirstLine(answers[0]), "SIP/2.0 100 Trying");
            EXPECT_EQ(FirstLine(answers[1]), "SIP/2.0 415 Unsupported Media Type");
        }
        // A mutation may have left an INVITE that offers G.729 ringing: refuse it, so the
        // next batch starts from Idle again.
        if (!InState(kIdle)) {
            ASSERT_TRUE(InState(kIncoming)) << "batch " << batch;
            Manager().DoHangUp();
            ++hangUps;
        }
        ASSERT_TRUE(InState(kIdle));
        ++batch;
    }
    EXPECT_EQ(Manager().Queue->Count(), 0);
    RecordProperty("batches", batch);
    RecordProperty("probes", probes);
    RecordProperty("ringingHungUp", hangUps);
    proxy.ReceiveAll();

    // Afterwards an ordinary call works end to end.
    ASSERT_NO_FATAL_FAILURE(EstablishCall(true));
    ASSERT_NO_FATAL_FAILURE(ExpectPhoneSendsVoice());
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(SendRtp(FarEndPacket(i)));
    }
    ASSERT_TRUE(ReceiveThreadTook(20));
    ASSERT_NO_FATAL_FAILURE(HangUpCall());
}

// ---- strangers ----

TEST_F(WireInputTest, DatagramsFromAnyoneButTheProxyNeverReachTheParser) {
    LoopbackSocket sameAddressOtherPort("127.0.0.1");
    LoopbackSocket otherAddressSamePort("127.0.0.5", proxy.Port());
    LoopbackSocket otherAddressOtherPort("127.0.0.5");
    const std::string invite = IncomingInvite("stranger@wire", "18 101");
    int round = 0;
    for (LoopbackSocket* stranger :
         {&sameAddressOtherPort, &otherAddressSamePort, &otherAddressOtherPort}) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(stranger->SendTo(invite, ports_.phoneSip));
        // The proxy's notice comes after the stranger's INVITE on the same socket: once its
        // line shows, the INVITE would have been handled too.
        ASSERT_TRUE(ThroughToTheLoop("after" + std::to_string(round++)));
        EXPECT_TRUE(InState(kIdle));
        EXPECT_FALSE(rows.Has(">Calling from 3456"));
        EXPECT_EQ(Manager().RingDevice, nullptr);
        EXPECT_TRUE(stranger->ReceiveAll().empty());
        EXPECT_TRUE(proxy.ReceiveAll().empty());
    }

    ASSERT_TRUE(SendSip(invite));
    ASSERT_TRUE(phone->RunUntil([&] { return rows.Has(">Calling from 3456"); }));
    EXPECT_TRUE(InState(kIncoming));
    const std::vector<std::string> answers = proxy.ReceiveAll();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(FirstLine(answers[0]), "SIP/2.0 100 Trying");
    EXPECT_EQ(FirstLine(answers[1]), "SIP/2.0 180 Ringing");
    EXPECT_EQ(HeaderValue(answers[1], "Call-ID: "), "stranger@wire");
    for (LoopbackSocket* stranger :
         {&sameAddressOtherPort, &otherAddressSamePort, &otherAddressOtherPort}) {
        EXPECT_TRUE(stranger->ReceiveAll().empty());
    }
    Manager().DoHangUp();
    EXPECT_TRUE(InState(kIdle));
    const std::vector<std::string> refusals = proxy.ReceiveAll();
    ASSERT_TRUE(call_testing::SentTwiceIdentically(refusals));
    EXPECT_EQ(FirstLine(refusals[0]), "SIP/2.0 486 Busy Here");
}

// ---- the RTP port ----

constexpr int kFarEndPackets = 90;  // 28800 bytes of PCM: within the two-second playout ring
constexpr int kGarbagePerPacket = 24;

// Without a speaker that opens nothing drains the playout ring, so what the receive thread
// decoded can be counted to the byte: the far end's packets and nothing else.
TEST_F(WireInputTest, RtpFloodDuringACallPlaysTheFarEndAndNothingElse) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " (SOFTPHONE_WIRE_SEED replays it)");
    platform::VirtualAudioDevice speaker("Virtual Speaker");
    speaker.openable = false;
    phone->audio.SetOutputDevices({speaker});
    Manager().SelectAudioDevices(false, 2);
    EncodeTone(kFarEndPackets);
    ASSERT_NO_FATAL_FAILURE(EstablishCall(true));
    ASSERT_FALSE(Manager().Playback->IsOpen());

    HostileDatagrams hostile(seed);
    ASSERT_NO_FATAL_FAILURE(FloodRtpDuringCall(hostile, kFarEndPackets, kGarbagePerPacket));
    EXPECT_EQ(Manager().Playback->ReceiveThread()->Held(), kFarEndPackets * kPcmPerPacket);
    // The call went on undisturbed: still connected, still sending its own voice.
    EXPECT_TRUE(InState(CallManagerThread::Outgoing));
    EXPECT_TRUE(Manager().Connected);
    ASSERT_NO_FATAL_FAILURE(ExpectPhoneSendsVoice());
    ASSERT_NO_FATAL_FAILURE(HangUpCall());
}

// The far end's tone reaches the speaker through the flood.
TEST_F(WireInputTest, FarEndToneReachesTheSpeakerThroughAnRtpFlood) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " (SOFTPHONE_WIRE_SEED replays it)");
    // Named after the phone's RTP port, so that runs side by side never share the file.
    const std::string wavPath =
        testing_support::BinaryPath("wire_speaker_" + std::to_string(ports_.phoneRtp) + ".wav");
    std::remove(wavPath.c_str());
    phone->audio.SetOutputDevices({platform::VirtualAudioDevice("Virtual Speaker", wavPath)});
    Manager().SelectAudioDevices(false, 2);
    constexpr int kPackets = 60;
    EncodeTone(kPackets);
    // No ring-back: its tone would be written to the same file.
    ASSERT_NO_FATAL_FAILURE(EstablishCall(false));
    ASSERT_TRUE(Manager().Playback->IsOpen());

    HostileDatagrams hostile(seed + 1);
    ASSERT_NO_FATAL_FAILURE(FloodRtpDuringCall(hostile, kPackets, 12, true));
    CUDPReceiveThread* receiver = Manager().Playback->ReceiveThread();
    ASSERT_TRUE(WaitUntil([&] { return receiver->Held() == 0; }, 5000));
    // What the speaker took is queued in its buffers: at most the whole tone.
    const uint64_t taken = phone->audio.FramesPlayed(0);
    const size_t toneSamples = kPackets * kPcmPerPacket / 2;
    ASSERT_TRUE(
        WaitUntil([&] { return phone->audio.FramesPlayed(0) >= taken + toneSamples; }, 5000));
    ASSERT_NO_FATAL_FAILURE(ExpectPhoneSendsVoice());
    ASSERT_NO_FATAL_FAILURE(HangUpCall());

    std::vector<int16_t> played;
    ASSERT_TRUE(platform::ReadWavFile(wavPath, &played));
    std::remove(wavPath.c_str());
    size_t loud = 0;
    for (const int16_t sample : played) {
        loud += std::abs(sample) > 1000 ? 1 : 0;
    }
    // The tone, scaled by the volume control, fills most of the far end's 160 samples per
    // packet; silence fills the rest of the call.
    RecordProperty("loudSamples", static_cast<int>(loud));
    EXPECT_GE(loud, toneSamples * 3 / 4) << "of " << played.size() << " samples";
    // Nothing but the tone, and the few concealed frames that fade it out when it ends.
    EXPECT_LE(loud, toneSamples + PlayoutBuffer::kMaxConcealedRun * 80);
}

}  // namespace
