#include "sip/SdpReader.h"

#include <array>

#include "sip/SIPSDPMessage.h"
#include "sip/SipText.h"

namespace {

constexpr std::string_view kBlanksAndControls =
    "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16"
    "\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f\x20";

constexpr std::array<std::string_view, 4> kDirections = {"sendrecv", "sendonly", "recvonly",
                                                         "inactive"};

std::string_view TrimControls(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanksAndControls);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kBlanksAndControls);
    return text.substr(first, last - first + 1);
}

// The address after "IP4 " when nothing follows it; empty for any other c= line.
std::string ConnectionAddress(std::string_view line) {
    const size_t ip4 = line.find("IP4 ");
    if (ip4 == std::string_view::npos) {
        return {};
    }
    const std::string_view address = line.substr(ip4 + 4);
    return address.find(' ') == std::string_view::npos ? std::string(address) : std::string();
}

// "sendrecv" ... "inactive" for a direction attribute line, empty for any other.
std::string_view Direction(std::string_view line) {
    const std::string_view name = sip_text::TrimBlanks(line.substr(2));
    for (const std::string_view direction : kDirections) {
        if (name == direction) {
            return direction;
        }
    }
    return {};
}

}  // namespace

void SdpReader::ReadLine(std::string_view line) {
    anyLine_ = true;
    if (line.size() < 2 || line[1] != '=') {
        return;
    }
    const bool session = section_ == Section::Session;
    const bool audio = section_ == Section::FirstAudio;
    switch (line[0]) {
        case 'c':
            if (session) {
                sessionAddress_ = ConnectionAddress(line);
                sessionAddressSet_ = true;
            } else if (audio) {
                audioAddress_ = ConnectionAddress(line);
                audioAddressSet_ = true;
            }
            break;
        case 'm':
            ReadMediaLine(line);
            break;
        case 'a': {
            const std::string_view direction = Direction(line);
            if (!direction.empty() && (session || audio)) {
                (session ? sessionDirection_ : audioDirection_) = direction;
            }
            break;
        }
        default:
            break;
    }
}

// Port: the text between "audio" and "RTP", trimmed, 1 to 5 digits up to 65535, else -1.
void SdpReader::ReadMediaLine(std::string_view line) {
    if (audioFound_ || line.substr(0, 8) != "m=audio ") {
        section_ = Section::Other;
        return;
    }
    section_ = Section::FirstAudio;
    audioFound_ = true;
    const size_t rtp = line.find("RTP");
    if (rtp != std::string_view::npos && rtp > 7) {
        const std::string_view text = TrimControls(line.substr(7, rtp - 7));
        if (!text.empty() && text.size() <= 5) {
            const int32_t value = sip_text::ReadNumber(text);
            port_ = value >= 0 && value <= 65535 ? value : -1;
        }
    }
    const size_t avp = line.find("AVP ");
    payloads_ = avp == std::string_view::npos ? std::string() : std::string(line.substr(avp + 4));
}

void SdpReader::Finish(CSIPSDPMessage& message) const {
    if (audioAddressSet_) {
        message.MediaAddress = audioAddress_;
    } else if (sessionAddressSet_) {
        message.MediaAddress = sessionAddress_;
    }
    if (audioFound_) {
        message.MediaPort = port_;
        message.MediaPayloads = payloads_;
    }
    if (!audioDirection_.empty()) {
        message.MediaDirection = audioDirection_;
    } else if (!sessionDirection_.empty()) {
        message.MediaDirection = sessionDirection_;
    } else if (anyLine_) {
        message.MediaDirection = "sendrecv";  // what an SDP that names no direction means
    }
}
