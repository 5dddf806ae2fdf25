#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Reads the samples of a RIFF WAVE file of 8000 Hz mono 16-bit PCM. false for any other
// format, a damaged file, or more than kWavMaxSamples samples.
constexpr size_t kWavMaxSamples = 8000u * 60u * 10u;
bool ReadWavFile(const std::string& path, std::vector<int16_t>* samples);
bool WriteWavFile(const std::string& path, const std::vector<int16_t>& samples);

// Writes 8000 Hz mono 16-bit PCM as it comes; the header's sizes are completed by Close.
class WavFileWriter {
public:
    WavFileWriter() = default;
    ~WavFileWriter() { Close(); }
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    bool Open(const std::string& path);
    bool Append(const int16_t* samples, size_t count);
    void Close();

private:
    std::FILE* file_ = nullptr;
    uint32_t dataBytes_ = 0;
};

}  // namespace platform
