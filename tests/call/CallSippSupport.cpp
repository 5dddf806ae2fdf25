#include "tests/call/CallSippSupport.h"

#include <algorithm>

#include "platform/Audio.h"
#include "tests/support/TestSupport.h"

namespace call_testing {

using testing_support::BinaryPath;
using testing_support::SourcePath;

namespace {

uint32_t Loopback() {
    uint32_t address = 0;
    platform::ParseDottedIpv4("127.0.0.1", &address);
    return address;
}

}  // namespace

CallPorts PickCallPorts() {
    CallPorts ports;
    ports.sipp = sipp_testing::FreeUdpPort();
    ports.sippControl = sipp_testing::FreeUdpPort();
    ports.phoneSip = sipp_testing::FreeUdpPort();
    ports.phoneRtp = sipp_testing::FreeUdpPort();
    ports.peerRtp = sipp_testing::FreeUdpPort();
    return ports;
}

SippPeer::SippPeer(const std::string& name, const CallPorts& ports, int calls,
                   const std::vector<std::string>& extraArgs)
    : messageFile_(BinaryPath("sipp_" + name + "_messages.log")),
      errorFile_(BinaryPath("sipp_" + name + "_errors.log")),
      port_(ports.sipp) {
    std::remove(messageFile_.c_str());
    std::vector<std::string> args = {"-sf", SourcePath("tests/call/scenarios/" + name + ".xml"),
                                     "-i", "127.0.0.1", "-p", std::to_string(ports.sipp), "-cp",
                                     std::to_string(ports.sippControl), "-m", std::to_string(calls),
                                     "-timeout", "15s", "-timeout_error", "-nostdin",
                                     // The phone's duplicates stand in for retransmission;
                                     // sipp's own would only blur what the test reads.
                                     "-nr", "-trace_msg", "-message_file", messageFile_,
                                     "-trace_err", "-error_file", errorFile_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    process_ =
        std::make_unique<sipp_testing::SippProcess>(args, BinaryPath("sipp_" + name + ".log"));
}

bool SippPeer::Listening() {
    return process_->Started() && process_->WaitUntilListening(port_);
}

int SippPeer::WaitForExit(int timeoutMs) {
    return process_->WaitForExit(timeoutMs);
}

std::vector<std::string> SippPeer::Received() const {
    return sipp_testing::ReceivedMessages(messageFile_);
}

std::vector<std::string> SippPeer::ReceivedStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& message : Received()) {
        if (message.rfind(prefix, 0) == 0) {
            found.push_back(message);
        }
    }
    return found;
}

std::string SippPeer::Log() const {
    return sipp_testing::ReadFile(process_->LogPath()) + sipp_testing::ReadFile(errorFile_);
}

TestPhone::TestPhone(const CallPorts& ports) {
    platform::SetAudioBackEnd(&audio);
    manager = std::make_unique<CallManagerThread>(false);
    manager->SetMessageList(&list);
    manager->SetAccount("1001", "secret");
    manager->SetProxy("127.0.0.1", ports.sipp);
    manager->SetLocalAddress("127.0.0.1");
    manager->SetLocalPort(ports.phoneSip);
    manager->SetRtpPort(ports.phoneRtp);
    manager->SetPayloadType(18);
    manager->SetCaptureBlockSize(1600);
    manager->Start();
    manager->SelectAudioDevices(false, 2);
    manager->SetVolumes(13, 25);
}

TestPhone::~TestPhone() {
    manager.reset();
    platform::SetAudioBackEnd(nullptr);
}

bool TestPhone::RunUntil(const std::function<bool()>& condition, int timeoutMs) {
    return testing_support::WaitUntil(
        [&] {
            manager->RunCycle();
            return condition();
        },
        timeoutMs, 0);
}

std::vector<std::string> TestPhone::RowsFrom(const std::string& from) {
    const std::vector<std::string> rows = list.Rows();
    const auto first = std::find(rows.begin(), rows.end(), from);
    return std::vector<std::string>(first, rows.end());
}

RtpPeer::RtpPeer(uint16_t port) {
    socket_.Bind(port, Loopback());
}

std::string RtpPeer::Receive(int timeoutMs) {
    if (socket_.WaitReadable(timeoutMs) != platform::UdpSocket::WaitResult::Readable) {
        return {};
    }
    char buffer[2048];
    const long length = socket_.ReceiveFrom(buffer, sizeof(buffer), &phone_);
    if (length < 0 || static_cast<size_t>(length) > sizeof(buffer)) {
        return {};
    }
    return std::string(buffer, static_cast<size_t>(length));
}

void RtpPeer::SendG729(uint16_t sequence) {
    unsigned char packet[32] = {0x80, 18};
    packet[2] = static_cast<unsigned char>(sequence >> 8);
    packet[3] = static_cast<unsigned char>(sequence & 0xFF);
    const uint32_t timestamp = sequence * 160u;
    packet[4] = static_cast<unsigned char>(timestamp >> 24);
    packet[5] = static_cast<unsigned char>(timestamp >> 16);
    packet[6] = static_cast<unsigned char>(timestamp >> 8);
    packet[7] = static_cast<unsigned char>(timestamp);
    packet[8] = 0x12;  // SSRC 0x12345678
    packet[9] = 0x34;
    packet[10] = 0x56;
    packet[11] = 0x78;
    socket_.SendTo(packet, sizeof(packet), phone_);
}

bool SentTwiceIdentically(const std::vector<std::string>& copies) {
    return copies.size() == 2 && copies[0] == copies[1];
}

}  // namespace call_testing
