#include "tools/faults/fault_probe/FaultScenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include "call/CallManagerThread.h"
#include "platform/Audio.h"
#include "platform/AudioVirtual.h"
#include "platform/AudioWavFile.h"
#include "platform/Clock.h"
#include "tools/faults/fault_probe/FaultFarEnd.h"
#include "tools/faults/fault_probe/FaultPhoneView.h"

namespace {

constexpr int kSamplesPerFrame = 80;  // one G.729 frame, 10 ms
constexpr int kFramesPerPacket = 2;
constexpr int kSampleRate = 8000;
// Below this a decoded sample is taken for silence; the tone is far louder.
constexpr int kAudibleLevel = 64;
constexpr int kToneHz = 440;
constexpr int kToneLevel = 8000;
// Long enough for a few lost REGISTERs: each is repeated about 6 s later.
constexpr int kRegisterWaitMs = 20000;
constexpr int kCallSetUpWaitMs = 10000;
constexpr int kClearWaitMs = 5000;
// The refresh interval of the outage case: short enough to see one lapse in a test.
constexpr int kOutageRegisterInterval = 2;
const char* const kNumber = "600";

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    const uint32_t start = platform::TickCountMs();
    while (!condition()) {
        if (static_cast<int32_t>(platform::TickCountMs() - start) >= timeoutMs) {
            return condition();
        }
        platform::SleepMs(5);
    }
    return true;
}

uint32_t Loopback() {
    uint32_t address = 0;
    platform::ParseDottedIpv4("127.0.0.1", &address);
    return address;
}

// A port that was free a moment ago; the phone binds it on every address.
uint16_t FreePort() {
    platform::UdpSocket probe;
    probe.Bind(0, Loopback());
    return probe.LocalPort();
}

bool WriteTone(const std::string& path) {
    std::vector<int16_t> samples(kSampleRate);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(
            kToneLevel * std::sin(2.0 * M_PI * kToneHz * static_cast<double>(i) / kSampleRate));
    }
    platform::WavFileWriter writer;
    if (!writer.Open(path)) {
        return false;
    }
    writer.Append(samples.data(), samples.size());
    writer.Close();
    return true;
}

bool Audible(const int16_t* samples, size_t count) {
    return std::any_of(samples, samples + count,
                       [](int16_t s) { return std::abs(s) > kAudibleLevel; });
}

// 10 ms frames with sound in them, the longest silence between sounds and the silence at the
// end, in milliseconds.
void MeasurePlayback(const std::string& path, FaultReport* report) {
    std::vector<int16_t> samples;
    if (!platform::ReadWavFile(path, &samples)) {
        report->failures.push_back("no playback recording");
        return;
    }
    const size_t frames = samples.size() / kSamplesPerFrame;
    size_t lastAudible = 0;
    for (size_t f = 0; f < frames; ++f) {
        if (Audible(samples.data() + f * kSamplesPerFrame, kSamplesPerFrame)) {
            if (report->framesPlayed > 0) {
                report->longestGapMs =
                    std::max(report->longestGapMs, static_cast<uint32_t>((f - lastAudible) * 10));
            }
            ++report->framesPlayed;
            lastAudible = f + 1;
        }
    }
    report->silentTailMs = static_cast<uint32_t>((frames - lastAudible) * 10);
}

std::string Seconds(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f s", ms / 1000.0);
    return text;
}

bool HasRow(const std::vector<std::string>& rows, const std::string& row) {
    return std::find(rows.begin(), rows.end(), row) != rows.end();
}

// Everything one case needs, built in dependency order and torn down in reverse.
class FaultRun {
public:
    FaultRun(const FaultCase& faultCase, const FaultRunOptions& options)
        : case_(faultCase), options_(options) {
        report_.name = faultCase.name;
        const std::string prefix = options.workDir + "/fault_" + faultCase.name;
        tonePath_ = prefix + "_tone.wav";
        playedPath_ = prefix + "_played.wav";
        WriteTone(tonePath_);
        audio_.SetOutputDevices({platform::VirtualAudioDevice("Virtual Speaker", playedPath_)});
        audio_.SetInputDevices({platform::VirtualAudioDevice("Virtual Microphone", tonePath_)});
        platform::SetAudioBackEnd(&audio_);
        uint16_t proxyPort = farEnd_.SipPort();
        if (options.relay) {
            sipRelay_ =
                std::make_unique<FaultRelay>(platform::Ipv4Endpoint{Loopback(), farEnd_.SipPort()},
                                             faultCase.impairment, faultCase.seed);
            rtpRelay_ =
                std::make_unique<FaultRelay>(platform::Ipv4Endpoint{Loopback(), farEnd_.RtpPort()},
                                             faultCase.impairment, faultCase.seed + 1000);
            farEnd_.SetAnsweredMediaPort(rtpRelay_->FrontPort());
            proxyPort = sipRelay_->FrontPort();
        }
        BuildPhone(proxyPort);
    }

    ~FaultRun() {
        phone_.reset();
        platform::SetAudioBackEnd(nullptr);
    }

    FaultReport Run() {
        firstRow_ = lines_.Count();
        const uint32_t start = platform::TickCountMs();
        phone_->Resume();
        if (!WaitFor([&] { return lamp_.Last() == clLime; }, kRegisterWaitMs)) {
            report_.failures.push_back("never registered");
        } else if (RegisterAttempts() > 1) {
            report_.notes.push_back("registered after " + std::to_string(RegisterAttempts()) +
                                    " REGISTERs, " + Seconds(platform::TickCountMs() - start));
        }
        if (report_.Passed()) {
            if (case_.kind == FaultCase::Kind::ProxyOutage) {
                RunOutage();
            } else {
                RunCall();
            }
        }
        // The thread is joined and every device closed before the recording is read.
        phone_.reset();
        Collect();
        return report_;
    }

private:
    void BuildPhone(uint16_t proxyPort) {
        phone_ = std::make_unique<CallManagerThread>(true);
        phone_->SetMessageList(&lines_);
        phone_->SetStatusLamp(&lamp_);
        phone_->SetAccount("1001", "secret");
        phone_->SetProxy("127.0.0.1", proxyPort);
        phone_->SetLocalAddress("127.0.0.1");
        phone_->SetLocalPort(FreePort());
        phone_->SetRtpPort(FreePort());
        phone_->SetPayloadType(18);
        phone_->SetCaptureBlockSize(320);
        phone_->Start();
        phone_->SelectAudioDevices(false, 2);
        // Full scale, so that what is heard is what was decoded.
        phone_->SetVolumes(25, 25);
        if (case_.kind == FaultCase::Kind::ProxyOutage) {
            phone_->SetRegisterInterval(kOutageRegisterInterval);
        }
    }

    uint32_t RegisterAttempts() {
        return sipRelay_ ? sipRelay_->Upstream().received : farEnd_.Snapshot().registers;
    }

    bool InState(int state) { return phone_->ChangeState(true, state); }

    std::vector<std::string> RowsSince(size_t first) { return lines_.RowsFrom(first); }

    uint32_t PacketsFromPhone() {
        return rtpRelay_ ? rtpRelay_->Upstream().received : farEnd_.Snapshot().rtpReceived;
    }

    // Waits until the phone has sent ms worth of voice more than now.
    bool Talk(int ms) {
        const uint32_t target = PacketsFromPhone() + static_cast<uint32_t>(ms / 20);
        return WaitFor([&] { return PacketsFromPhone() >= target; }, ms * 2 + 2000);
    }

    void RunCall() {
        const size_t dialRow = lines_.Count();
        phone_->Dial(kNumber);
        if (!WaitFor([&] { return HasRow(RowsSince(dialRow), ">Voice Channel created!"); },
                     kCallSetUpWaitMs)) {
            report_.failures.push_back("call not connected");
        }
        if (!Talk(options_.talkMs)) {
            report_.failures.push_back("the phone stopped sending voice");
        }
        if (case_.kind == FaultCase::Kind::Call) {
            PlayOut();
        }
        if (case_.kind == FaultCase::Kind::RtpStops) {
            farEnd_.SetEchoing(false);
            if (options_.silentWaitMs > 0) {
                AwaitGivingUp();
                return;
            }
            const size_t stopRow = lines_.Count();
            Talk(options_.talkMs);
            if (!InState(CallManagerThread::Outgoing)) {
                report_.failures.push_back("call dropped when the voice stopped");
            }
            for (const std::string& row : RowsSince(stopRow)) {
                report_.notes.push_back("shown while silent: " + row);
            }
        }
        HangUpAndCheck();
    }

    // The far end has gone quiet for good: the phone says so, then hangs up by itself.
    void AwaitGivingUp() {
        const size_t stopRow = lines_.Count();
        const uint32_t stoppedAt = platform::TickCountMs();
        const bool told =
            WaitFor([&] { return HasRow(RowsSince(stopRow), ">No voice from the far end!"); },
                    options_.silentWaitMs);
        const uint32_t toldAfter = platform::TickCountMs() - stoppedAt;
        const bool cleared = WaitFor(
            [&] {
                return HasRow(RowsSince(stopRow), ">Call cleared!") &&
                       InState(CallManagerThread::Idle);
            },
            options_.silentWaitMs);
        const uint32_t clearedAfter = platform::TickCountMs() - stoppedAt;
        WaitFor([&] { return farEnd_.Snapshot().byes >= 1; }, 1000);
        report_.notes.push_back("\"No voice from the far end!\" after " + Seconds(toldAfter) +
                                ", cleared after " + Seconds(clearedAfter));
        if (!told || toldAfter < 10000 || toldAfter > 11500) {
            report_.failures.push_back("silence not told 10 s after the voice stopped");
        }
        if (!cleared || clearedAfter < 60000 || clearedAfter > 61500) {
            report_.failures.push_back("call not cleared 60 s after the voice stopped");
        }
    }

    // The far end falls silent and what is on its way is played out before the hang-up, so
    // that what came back can be told from what was heard.
    void PlayOut() {
        farEnd_.SetEchoing(false);
        if (phone_->Playback == nullptr) {
            return;
        }
        CUDPReceiveThread* receiver = phone_->Playback->ReceiveThread();
        if (rtpRelay_) {
            WaitFor(
                [&] {
                    const FaultRelay::Counters c = rtpRelay_->Downstream();
                    return c.delivered + c.lost + c.overflowed == c.received &&
                           receiver->DatagramsReceived() >= c.delivered;
                },
                2000);
        }
        WaitFor([&] { return receiver->Held() == 0; }, 2000);
        const PlayoutBuffer::Counters stats = receiver->PlayoutStats();
        report_.framesDecoded = stats.played;
        report_.framesConcealed = stats.concealed;
    }

    void HangUpAndCheck() {
        const size_t hangUpRow = lines_.Count();
        phone_->HangUp();
        const bool cleared = WaitFor(
            [&] {
                return HasRow(RowsSince(hangUpRow), ">Call cleared!") &&
                       InState(CallManagerThread::Idle);
            },
            kClearWaitMs);
        const std::vector<std::string> rows = RowsSince(hangUpRow);
        if (!cleared || !HasRow(rows, ">Hanging up call!")) {
            report_.failures.push_back("hang-up did not clear the call");
        }
        // Two copies go out; give them a moment to cross the relay.
        WaitFor([&] { return farEnd_.Snapshot().byes >= 2; }, 1000);
    }

    void RunOutage() {
        const uint32_t answered = farEnd_.Snapshot().registersAnswered;
        farEnd_.SetProxyPresent(false);
        // The refresh falls due, goes unanswered, and the lamp turns red.
        if (!WaitFor([&] { return farEnd_.Snapshot().ignored >= 1 && lamp_.Last() == clRed; },
                     (kOutageRegisterInterval + 3) * 1000)) {
            report_.failures.push_back("no refresh while the proxy was gone");
        }
        const uint32_t redAt = platform::TickCountMs();
        farEnd_.SetProxyPresent(true);
        if (!WaitFor([&] { return lamp_.Last() == clLime; }, kRegisterWaitMs)) {
            report_.failures.push_back("lamp not green after the proxy returned");
        }
        if (farEnd_.Snapshot().registersAnswered <= answered) {
            report_.failures.push_back("REGISTER not repeated after the proxy returned");
        }
        report_.notes.push_back("lamp green again " + Seconds(platform::TickCountMs() - redAt) +
                                " after the proxy returned");
    }

    void Collect() {
        const FaultFarEnd::Counters far = farEnd_.Snapshot();
        report_.lines = RowsSince(firstRow_);
        report_.lamp = lamp_.Colours();
        report_.registers = far.registers + far.ignored;
        report_.byesAtFarEnd = far.byes;
        if (rtpRelay_) {
            report_.framesSent = rtpRelay_->Upstream().received * kFramesPerPacket;
            report_.framesArrived = rtpRelay_->Downstream().delivered * kFramesPerPacket;
            report_.framesOvertaken = rtpRelay_->Downstream().overtaken * kFramesPerPacket;
            report_.sipLost = sipRelay_->Upstream().lost + sipRelay_->Downstream().lost;
        } else {
            report_.framesSent = static_cast<uint32_t>(audio_.FramesCaptured(0) / kSamplesPerFrame);
            report_.framesArrived = far.rtpEchoed * kFramesPerPacket;
        }
        if (case_.kind != FaultCase::Kind::ProxyOutage) {
            MeasurePlayback(playedPath_, &report_);
            CheckCall(far);
        }
        if (lamp_.Last() != clLime) {
            report_.failures.push_back("lamp ends " + LampName(lamp_.Last()));
        }
    }

    void CheckCall(const FaultFarEnd::Counters& far) {
        const std::vector<std::string>& rows = report_.lines;
        if (!HasRow(rows, ">Called connected!")) {
            report_.failures.push_back("no \"Called connected!\"");
        }
        if (HasRow(rows, ">Stop Ringing!")) {
            report_.failures.push_back("ring-back tone ran during the answered call");
        }
        if (far.byes == 0) {
            // Both copies lost is the network's doing; the phone has still hung up.
            report_.notes.push_back("neither BYE reached the far end");
            if (case_.impairment.lossRatio == 0.0) {
                report_.failures.push_back("no BYE at the far end");
            }
        }
        if (case_.kind == FaultCase::Kind::Call) {
            // Every frame that came back is played, however late within the playout delay,
            // and a lost one is concealed rather than heard as a gap.
            if (report_.framesDecoded + 8 < 0.97 * report_.framesArrived) {
                report_.failures.push_back("played " + std::to_string(report_.framesDecoded) +
                                           " of " + std::to_string(report_.framesArrived) +
                                           " arrived frames");
            }
            if (report_.longestGapMs > 60) {
                report_.failures.push_back("a silent gap of " +
                                           std::to_string(report_.longestGapMs) + " ms");
            }
        }
        if (case_.kind == FaultCase::Kind::RtpStops &&
            report_.silentTailMs + 300 < static_cast<uint32_t>(options_.talkMs)) {
            report_.failures.push_back("sound went on after the far end stopped");
        }
    }

    const FaultCase case_;
    const FaultRunOptions options_;
    FaultReport report_;
    std::string tonePath_;
    std::string playedPath_;
    platform::VirtualAudioBackEnd audio_;
    FaultFarEnd farEnd_;
    std::unique_ptr<FaultRelay> sipRelay_;
    std::unique_ptr<FaultRelay> rtpRelay_;
    FaultShownLines lines_;
    FaultLamp lamp_;
    std::unique_ptr<CallManagerThread> phone_;
    size_t firstRow_ = 0;
};

}  // namespace

std::vector<FaultCase> StandardFaultCases() {
    using Kind = FaultCase::Kind;
    return {
        {"loss5", Kind::Call, {0.05, 0, 0, false}, 5},
        {"loss20", Kind::Call, {0.20, 0, 0, false}, 4},
        {"jitter50", Kind::Call, {0.0, 60, 50, false}, 50},
        {"jitter50-fifo", Kind::Call, {0.0, 60, 50, true}, 50},
        {"proxy-outage", Kind::ProxyOutage, {0.0, 0, 0, false}, 1},
        {"rtp-stops", Kind::RtpStops, {0.0, 0, 0, false}, 1},
    };
}

FaultReport RunFaultCase(const FaultCase& faultCase, const FaultRunOptions& options) {
    FaultRun run(faultCase, options);
    return run.Run();
}

std::string LampName(uint32_t colour) {
    switch (colour) {
        case clLime:
            return "green";
        case clRed:
            return "red";
        case 0:
            return "none";
        default:
            return "other";
    }
}
