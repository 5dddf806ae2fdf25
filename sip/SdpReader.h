#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CSIPSDPMessage;

// Reads the SDP body of one message line by line: the first audio stream is the call's, a
// media-level c= of that stream overrides the session-level one, and the direction attribute
// of the stream overrides the session's.
class SdpReader {
public:
    void ReadLine(std::string_view line);
    // Writes what was read into the message's media fields.
    void Finish(CSIPSDPMessage& message) const;

private:
    enum class Section { Session, FirstAudio, Other };

    void ReadMediaLine(std::string_view line);

    Section section_ = Section::Session;
    bool anyLine_ = false;
    bool audioFound_ = false;
    bool sessionAddressSet_ = false;
    bool audioAddressSet_ = false;
    std::string sessionAddress_;
    std::string audioAddress_;
    int32_t port_ = -1;
    std::string payloads_;
    std::string sessionDirection_;
    std::string audioDirection_;
};
