#include "platform/AudioWavFile.h"

#include <algorithm>
#include <cstring>

#include "platform/Audio.h"

namespace platform {
namespace {

constexpr size_t kHeaderBytes = 44;

uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void PutLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

void PutLe16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void MakeHeader(unsigned char (&header)[kHeaderBytes], uint32_t dataBytes) {
    std::memcpy(header, "RIFF", 4);
    PutLe32(header + 4, 36 + dataBytes);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    PutLe32(header + 16, 16);
    PutLe16(header + 20, 1);  // PCM
    PutLe16(header + 22, 1);  // mono
    PutLe32(header + 24, kAudioSampleRate);
    PutLe32(header + 28, kAudioBytesPerSecond);
    PutLe16(header + 32, kAudioBytesPerSample);
    PutLe16(header + 34, 16);
    std::memcpy(header + 36, "data", 4);
    PutLe32(header + 40, dataBytes);
}

bool IsOurFormat(const unsigned char* fmt, uint32_t size) {
    return size >= 16 && Le16(fmt) == 1 && Le16(fmt + 2) == 1 &&
           Le32(fmt + 4) == static_cast<uint32_t>(kAudioSampleRate) && Le16(fmt + 14) == 16;
}

bool ReadSamples(std::FILE* file, uint32_t bytes, std::vector<int16_t>* samples) {
    const size_t count = bytes / 2;
    if (count > kWavMaxSamples) {
        return false;
    }
    std::vector<unsigned char> raw(count * 2);
    if (std::fread(raw.data(), 1, raw.size(), file) != raw.size()) {
        return false;
    }
    samples->resize(count);
    for (size_t i = 0; i < count; ++i) {
        (*samples)[i] = static_cast<int16_t>(Le16(&raw[2 * i]));
    }
    return true;
}

bool ReadChunks(std::FILE* file, std::vector<int16_t>* samples) {
    unsigned char riff[12];
    if (std::fread(riff, 1, sizeof(riff), file) != sizeof(riff) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return false;
    }
    bool formatSeen = false;
    unsigned char chunk[8];
    while (std::fread(chunk, 1, sizeof(chunk), file) == sizeof(chunk)) {
        const uint32_t size = Le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[16];
            if (size < sizeof(fmt) || std::fread(fmt, 1, sizeof(fmt), file) != sizeof(fmt) ||
                !IsOurFormat(fmt, size)) {
                return false;
            }
            formatSeen = true;
            if (std::fseek(file, static_cast<long>(size - sizeof(fmt) + (size & 1)), SEEK_CUR)) {
                return false;
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            return formatSeen && ReadSamples(file, size, samples);
        } else if (std::fseek(file, static_cast<long>(size + (size & 1)), SEEK_CUR) != 0) {
            return false;
        }
    }
    return false;
}

}  // namespace

bool ReadWavFile(const std::string& path, std::vector<int16_t>* samples) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = ReadChunks(file, samples);
    std::fclose(file);
    return ok;
}

bool WriteWavFile(const std::string& path, const std::vector<int16_t>& samples) {
    WavFileWriter writer;
    if (!writer.Open(path) || !writer.Append(samples.data(), samples.size())) {
        return false;
    }
    writer.Close();
    return true;
}

bool WavFileWriter::Open(const std::string& path) {
    Close();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        return false;
    }
    dataBytes_ = 0;
    unsigned char header[kHeaderBytes];
    MakeHeader(header, 0);
    return std::fwrite(header, 1, sizeof(header), file_) == sizeof(header);
}

bool WavFileWriter::Append(const int16_t* samples, size_t count) {
    if (file_ == nullptr) {
        return false;
    }
    // The sizes in the header are 32-bit; past that the file is not written further.
    if (count * 2 > UINT32_MAX - kHeaderBytes - dataBytes_) {
        return false;
    }
    unsigned char raw[2 * 256];
    size_t done = 0;
    while (done < count) {
        const size_t n = std::min<size_t>(count - done, 256);
        for (size_t i = 0; i < n; ++i) {
            PutLe16(&raw[2 * i], static_cast<uint16_t>(samples[done + i]));
        }
        if (std::fwrite(raw, 1, 2 * n, file_) != 2 * n) {
            return false;
        }
        done += n;
        dataBytes_ += static_cast<uint32_t>(2 * n);
    }
    return true;
}

void WavFileWriter::Close() {
    if (file_ == nullptr) {
        return;
    }
    unsigned char header[kHeaderBytes];
    MakeHeader(header, dataBytes_);
    if (std::fseek(file_, 0, SEEK_SET) == 0) {
        std::fwrite(header, 1, sizeof(header), file_);
    }
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace platform
