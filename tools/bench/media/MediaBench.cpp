// Runs one call's audio loop on loopback (capture, encode, send, receive, decode, playback)
// with the virtual devices in real time, and prints the CPU time it takes per second of audio
// and the delay from the microphone to the speaker.
//   media_bench [SECONDS]
//   media_bench SECONDS --sound-system   the same loop through the sound system's preferred
//                                        devices, counting the speaker's underruns
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

#include "media/AudioDeviceSelection.h"
#include "media/DeviceMC.h"
#include "media/DeviceSP.h"
#include "media/rtp.h"
#include "platform/AudioVirtual.h"
#include "platform/AudioWavFile.h"
#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/UdpSocket.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kRate = 8000;
constexpr int kBurstEvery = 4000;  // a 100 ms burst of 1 kHz every 500 ms
constexpr int kBurstLength = 800;

std::vector<int16_t> BurstSignal(int seconds) {
    std::vector<int16_t> samples(static_cast<size_t>(seconds) * kRate, 0);
    for (size_t n = 0; n < samples.size(); ++n) {
        if (n % kBurstEvery < kBurstLength) {
            samples[n] = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * n / 8.0));
        }
    }
    return samples;
}

// Sample indexes where a loud stretch begins after at least 100 ms of quiet.
std::vector<size_t> Onsets(const std::vector<int16_t>& samples) {
    std::vector<size_t> onsets;
    size_t quiet = kBurstLength;
    for (size_t n = 0; n < samples.size(); ++n) {
        if (std::abs(samples[n]) > 2000) {
            if (quiet >= static_cast<size_t>(kBurstLength)) {
                onsets.push_back(n);
            }
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return onsets;
}

rtp_session* OpenSession() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        uint16_t port = 0;
        {
            platform::UdpSocket probe;
            if (probe.Bind(0)) {
                port = probe.LocalPort();
            }
        }
        auto* session = new rtp_session();
        if (port != 0 && rtp_open(session, port, 0)) {
            return session;
        }
        rtp_close(session);
    }
    return nullptr;
}

// The loop through the sound system for the given seconds; prints the speaker's underruns.
int RunThroughSoundSystem(platform::LibraryHandle codec, rtp_session* caller, rtp_session* callee,
                          int seconds) {
    CDeviceSP playback(codec, 18, callee);
    CDeviceMC capture(codec, 18, 320, caller);
    const AudioDeviceChoice devices = SelectAudioDevices(0);
    playback.SetDeviceId(devices.speakerDevice);
    capture.SetDeviceId(devices.microphoneDevice);
    if (playback.Open() != 0 || capture.Open() != 0) {
        std::fprintf(stderr, "media_bench: the sound system's devices did not open\n");
        return 1;
    }
    platform::SleepMs(static_cast<uint32_t>(seconds) * 1000);
    const uint64_t underruns = playback.DeviceUnderruns();
    capture.Close();
    playback.Close();
    std::printf("through the sound system, %d s: %llu speaker underruns\n", seconds,
                static_cast<unsigned long long>(underruns));
    return 0;
}

double Seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
    const bool soundSystem = argc > 2 && std::string(argv[2]) == "--sound-system";
    platform::LibraryHandle codec = platform::LoadLibraryByName("libKYR_Codec.so");
    if (codec == nullptr) {
        std::fprintf(stderr, "media_bench: libKYR_Codec.so not found\n");
        return 1;
    }
    const std::string folder = platform::ProgramFolder();
    const std::string source = folder + "/media_bench_source.wav";
    const std::string played = folder + "/media_bench_played.wav";
    platform::WriteWavFile(source, BurstSignal(seconds));

    rtp_session* caller = OpenSession();
    rtp_session* callee = OpenSession();
    if (caller == nullptr || callee == nullptr ||
        rtp_connect(caller, "127.0.0.1", callee->sock->LocalPort()) != 0 ||
        rtp_connect(callee, "127.0.0.1", caller->sock->LocalPort()) != 0) {
        std::fprintf(stderr, "media_bench: no loopback RTP sessions\n");
        return 1;
    }
    if (soundSystem) {
        const int result = RunThroughSoundSystem(codec, caller, callee, seconds);
        rtp_close(caller);
        rtp_close(callee);
        return result;
    }

    platform::VirtualAudioBackEnd audio;
    platform::VirtualAudioDevice microphone("Microphone", source);
    microphone.loop = false;
    audio.SetInputDevices({microphone});
    audio.SetOutputDevices({platform::VirtualAudioDevice("Speaker", played)});
    platform::SetAudioBackEnd(&audio);

    const std::clock_t cpuStart = std::clock();
    SteadyClock::time_point playbackOpened, captureOpened;
    {
        CDeviceSP playback(codec, 18, callee);
        CDeviceMC capture(codec, 18, 320, caller);
        playbackOpened = SteadyClock::now();
        playback.Open();
        captureOpened = SteadyClock::now();
        capture.Open();
        while (audio.FramesCaptured(0) < static_cast<uint64_t>(seconds) * kRate) {
            platform::SleepMs(10);
        }
        capture.Close();
        // Let what is on its way play out.
        platform::SleepMs(1500);
    }
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    rtp_close(caller);
    rtp_close(callee);
    platform::SetAudioBackEnd(nullptr);

    std::vector<int16_t> in, out;
    platform::ReadWavFile(source, &in);
    platform::ReadWavFile(played, &out);
    const std::vector<size_t> sent = Onsets(in), heard = Onsets(out);
    const double openGap = Seconds(captureOpened - playbackOpened);
    double delaySum = 0, delayMax = 0, firstDelay = 0, laterMax = 0;
    size_t pairs = 0;
    for (size_t i = 0; i < sent.size() && i < heard.size(); ++i) {
        const double delay =
            (static_cast<double>(heard[i]) - static_cast<double>(sent[i])) / kRate - openGap;
        delaySum += delay;
        delayMax = std::max(delayMax, delay);
        if (i == 0) {
            firstDelay = delay;  // the buffer starts behind, and catches up in the first pause
        } else {
            laterMax = std::max(laterMax, delay);
        }
        ++pairs;
    }
    // One phone's share of a call: one encode and one send (capture side), one receive and
    // one decode (playback side); the virtual devices' file work is counted too.
    std::printf("audio: %d s; CPU time: %.3f s in all, %.1f ms per second of call audio\n", seconds,
                cpu, 1000.0 * cpu / seconds);
    std::printf("CPU per call-second: %.4f of one core (%.2f %%)\n", cpu / seconds,
                100.0 * cpu / seconds);
    if (pairs == 0) {
        std::printf("capture-to-playback delay: no burst came through\n");
        return 1;
    }
    std::printf(
        "capture-to-playback delay: %.0f ms on average, %.0f ms at most (%zu of %zu "
        "bursts heard)\n",
        1000.0 * delaySum / static_cast<double>(pairs), 1000.0 * delayMax, heard.size(),
        sent.size());
    std::printf("  first burst %.0f ms; after it %.0f ms on average, %.0f ms at most\n",
                1000.0 * firstDelay,
                pairs > 1 ? 1000.0 * (delaySum - firstDelay) / static_cast<double>(pairs - 1) : 0.0,
                1000.0 * laterMax);
    return 0;
}
