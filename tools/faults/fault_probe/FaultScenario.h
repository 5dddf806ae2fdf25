#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/faults/fault_probe/FaultRelay.h"

// One case of the network-fault probe: the real call manager thread, running, with virtual
// audio devices, against the scripted far end, through the impairing relays.
struct FaultCase {
    enum class Kind {
        Call,         // register, call, talk, hang up
        ProxyOutage,  // register, the proxy vanishes past a refresh, then returns
        RtpStops,     // a call whose far end stops sending voice halfway
    };
    std::string name;
    Kind kind = Kind::Call;
    FaultRelay::Impairment impairment;
    uint64_t seed = 1;
};

struct FaultRunOptions {
    // Without the relays the phone talks to the far end directly (the kernel impairs the
    // loopback instead).
    bool relay = true;
    std::string workDir = ".";
    int talkMs = 3000;
    // rtp-stops: how long the phone is given to notice the silence and end the call by
    // itself; 0: the user hangs up after talkMs of silence instead.
    int silentWaitMs = 70000;
};

struct FaultReport {
    std::string name;
    // G.729 frames (10 ms each): put on the wire by the phone, delivered back to it, among
    // those delivered after a later one (discarded by an in-order receiver), and heard.
    uint32_t framesSent = 0;
    uint32_t framesArrived = 0;
    uint32_t framesOvertaken = 0;
    uint32_t framesPlayed = 0;     // 10 ms frames of the recording with sound in them
    uint32_t framesDecoded = 0;    // arrived frames the phone played
    uint32_t framesConcealed = 0;  // slots the phone concealed
    uint32_t longestGapMs = 0;     // silence between the first and the last sound heard
    // Trailing silence of the call's playback, in milliseconds.
    uint32_t silentTailMs = 0;
    std::vector<std::string> lines;  // message rows shown during the case
    std::vector<uint32_t> lamp;      // lamp colours in order, repeats folded
    uint32_t registers = 0;          // REGISTERs that reached the far end (answered or not)
    uint32_t byesAtFarEnd = 0;
    uint32_t sipLost = 0;  // SIP datagrams the relays dropped, both ways
    std::vector<std::string> notes;
    std::vector<std::string> failures;

    bool Passed() const { return failures.empty(); }
};

// The cases the probe runs by default: 5 % and 20 % loss, 50 ms of jitter, a proxy that
// goes away and comes back, and a peer that stops sending voice.
std::vector<FaultCase> StandardFaultCases();

FaultReport RunFaultCase(const FaultCase& faultCase, const FaultRunOptions& options);

// "green", "red", ... for a lamp colour.
std::string LampName(uint32_t colour);
