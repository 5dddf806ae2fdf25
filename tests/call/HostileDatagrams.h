#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace wire_testing {

// The largest payload of one UDP datagram over IPv4.
constexpr size_t kLargestDatagram = 65507;

// Lines joined with CR LF, then an empty line and the body; Content-Length is the body's.
std::string SipMessage(const std::vector<std::string>& headerLines, const std::string& body = {});

// Well-formed messages as the proxy sends them, the material that the generator cuts and
// mutates: requests (an INVITE offering no G.729, BYE, CANCEL, ACK, OPTIONS with a billing
// notice, INFO, NOTIFY) and responses (100, 180, 183 and 200 with SDP, 401, 407, 486, 487).
const std::vector<std::string>& SipTemplates();

// One RTP datagram with the given header fields and payload (version 2, no CSRC).
std::string RtpPacket(uint8_t payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc,
                      const std::string& payload);

// A seeded source of hostile datagrams. The same seed gives the same sequence, so a failure
// can be replayed from the seed alone.
class HostileDatagrams {
public:
    explicit HostileDatagrams(uint32_t seed);

    // For the SIP port: malformed, truncated, oversized, random or mutated messages.
    std::string NextSip();

    // For the RTP port of a call whose far end sends farEndSsrc and whose next packet is
    // nextSequence: garbage that must never be played. Packets of the far end's own SSRC
    // that are malformed or late carry 40 bytes of payload (the far end sends 20), so one
    // played by mistake shows in the amount of audio decoded.
    std::string NextRtp(uint32_t farEndSsrc, uint16_t nextSequence);

    // What the last datagram was meant to be, for failure messages.
    const std::string& LastKind() const { return kind_; }

private:
    // SIP
    std::string Truncated();
    std::string Oversized();
    std::string Random();
    std::string Mutated();
    std::string Malformed();
    void Mutate(std::string& message);
    void ReplaceLine(std::string& message);
    void InsertLongLine(std::string& message);

    // RTP
    std::string ShortRtp();
    std::string BadStructureRtp(uint32_t ssrc, uint16_t sequence);
    std::string OversizedRtp();
    std::string ForeignSourceRtp();
    std::string LateRtp(uint32_t ssrc, uint16_t sequence);
    std::string JumpRtp(uint32_t ssrc, uint16_t sequence);

    size_t Below(size_t bound);  // uniform in [0, bound); 0 when bound is 0
    bool Chance(int percent);
    std::string Bytes(size_t count);
    std::string Printable(size_t count);
    const std::string& Pick(const std::vector<std::string>& choices);
    const std::string& AnyTemplate();

    std::mt19937 random_;
    std::string kind_;
    uint32_t nextForeignSsrc_ = 0x0BAD0000;
    // A jump of the far end's sequence numbers followed by the very next number would be
    // the restart of RFC 3550 A.1, which is rightly accepted; such a pair is never sent.
    uint32_t lastJump_ = 0x10000;
};

}  // namespace wire_testing
