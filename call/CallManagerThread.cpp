#include "call/CallManagerThread.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "media/AudioDeviceSelection.h"
#include "platform/Audio.h"
#include "platform/Clock.h"
#include "platform/HostAddresses.h"

namespace {

constexpr int kDtmfStarKey = 20;
constexpr int kDtmfHashKey = 21;
constexpr int kDtmfDigitBase = 10;

// Request codes as the parser numbers the methods.
constexpr int kInviteRequest = 0;
constexpr int kByeRequest = 2;
constexpr int kAckRequest = 3;
constexpr int kCancelRequest = 4;
constexpr int kOptionsRequest = 5;
constexpr int kInfoRequest = 10;
constexpr int kUpdateRequest = 12;

// The time one RTP packet of two frames holds.
constexpr uint32_t kPacketMs = 20;
constexpr const char* kNoSuchCall = "SIP/2.0 481 Call/Transaction Does Not Exist";

int CSeqNumber(const CSIPSDPMessage& message) {
    int number = 0;
    for (const char c : message.CSeqText) {
        if (c < '0' || c > '9' || number > 100'000'000) {
            break;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

bool IsSuccess(int status) {
    return status >= 200 && status < 300;
}

int DtmfKeyFor(char c) {
    if (c == '*') {
        return kDtmfStarKey;
    }
    if (c == '#') {
        return kDtmfHashKey;
    }
    if (c >= '0' && c <= '9') {
        return kDtmfDigitBase + (c - '0');
    }
    return -1;
}

std::string DtmfKeyText(int key) {
    if (key == kDtmfStarKey) {
        return "*";
    }
    if (key == kDtmfHashKey) {
        return "#";
    }
    return std::to_string(key - kDtmfDigitBase);
}

}  // namespace

CallManagerThread::CallManagerThread(bool registerRequired) : RegisterRequired(registerRequired) {
    // Without the codec calls are still signalled, only without voice.
    CodecLibrary = platform::LoadLibraryByName(kCodecLibraryName);
}

CallManagerThread::~CallManagerThread() {
    TerminateAndWait();
    ReleaseAll();
    // Every restart builds a new call manager that loads the codec again: without this each
    // one would keep its own reference and the library could never be unloaded. Nothing
    // uses the codec any more: the media objects and every thread are gone by now.
    if (CodecLibrary != nullptr) {
        platform::FreeLibrary(CodecLibrary);
        CodecLibrary = nullptr;
    }
}

void CallManagerThread::SetAccount(const std::string& account, const std::string& key) {
    Settings.Account = account;
    Settings.AuthUser = account;
    Settings.Password = key;
}

void CallManagerThread::SetProxy(const std::string& host, int port) {
    Settings.ProxyAddress = ResolveHost(host);
    Settings.ProxyHost = host;
    Settings.ProxyUri = "sip:" + host;
    Settings.ProxyPort = port;
    Settings.RegisterInterval = kDefaultRegisterInterval;
}

void CallManagerThread::SetLocalAddress(const std::string& address) {
    Settings.LocalAddress = address;
    Settings.LocalRtpAddress = address;
}

void CallManagerThread::SetCaptureBlockSize(int n) {
    CaptureBlockSize = n < kMaxCaptureBlockSize ? n : kMaxCaptureBlockSize;
}

void CallManagerThread::SetRegisterInterval(int seconds) {
    // The upkeep divides by the interval; a zero or negative one would stop the loop.
    Settings.RegisterInterval = seconds > 0 ? seconds : 1;
}

void CallManagerThread::SetAudioDevices(uint32_t speaker, const std::string& speakerName,
                                        uint32_t microphone, const std::string& microphoneName) {
    SpeakerDevice = speaker;
    SpeakerName = speakerName;
    MicrophoneDevice = microphone;
    MicrophoneName = microphoneName;
}

void CallManagerThread::SelectAudioDevices(bool usbHandsetPresent, int installLanguage) {
    HandsetPresent = usbHandsetPresent;
    InstallLanguage = installLanguage;
    const AudioDeviceChoice choice =
        ::SelectAudioDevices(platform::CurrentAudioBackEnd(), installLanguage);
    SetAudioDevices(choice.speakerDevice, choice.speakerName, choice.microphoneDevice,
                    choice.microphoneName);
}

std::string CallManagerThread::ResolveHost(const std::string& host) {
    return platform::ResolveFirstIpv4(host);
}

void CallManagerThread::Start() {
    if (SendRecv) {
        return;
    }
    Queue = std::make_unique<CSIPSDPMessageQueue>();
    Parser = std::make_unique<SIPSDPModule>(Queue.get());
    SendRecv = std::make_unique<CSIPSendRecvThread>(true, Parser.get(), false);
    SendRecv->Setup(Settings.LocalAddress, Settings.LocalPort, Settings.ProxyAddress,
                    Settings.ProxyPort);
    SendRecv->SetArrivalHook([this] { Nudge(); });
    SendRecv->Resume();
}

void CallManagerThread::ShowSettings() {
    if (MessageList == nullptr) {
        return;
    }
    ShowLine("Proxy IP:" + Settings.ProxyAddress);
    ShowLine("Proxy Port:" + std::to_string(Settings.ProxyPort));
    ShowLine("Local IP:" + Settings.LocalAddress);
    ShowLine("Local Port:" + std::to_string(Settings.LocalPort));
    ShowLine("Speaker :" + std::to_string(SpeakerDevice) + " " + SpeakerName);
    ShowLine("Microphone :" + std::to_string(MicrophoneDevice) + " " + MicrophoneName);
}

bool CallManagerThread::ChangeState(bool test, int state) {
    std::lock_guard<TCriticalSection> guard(StateLock);
    if (test) {
        return CallState == state;
    }
    if (CallState == Idle) {
        if (state == Idle || state < Idle || state > Registering) {
            return false;
        }
        CallState = state;
        return true;
    }
    if (state == Idle) {
        CallState = Idle;
        return true;
    }
    return false;
}

void CallManagerThread::ShowLine(const std::string& text) {
    if (MessageList == nullptr) {
        return;
    }
    std::string line = ">" + text;
    while (line.size() > kRowWidth) {
        MessageList->AppendRow(line.substr(0, kRowWidth));
        line.replace(0, kRowWidth, 1, ' ');
    }
    MessageList->AppendRow(line);
    MessageList->ShowLastRows(kRowsInView);
}

bool CallManagerThread::OffersPayload(int pt, const std::string& list) {
    const std::string number = std::to_string(pt);
    if (list.find(number + " ") != std::string::npos) {
        return true;
    }
    const size_t first = list.find(number);
    return first != std::string::npos && first + number.size() == list.size();
}

// ---- user operations from the window's thread ----

bool CallManagerThread::Post(CallCommandQueue::Command command) {
    if (Terminated()) {
        return false;
    }
    if (!commands_.Post(std::move(command))) {
        return false;
    }
    Nudge();
    return true;
}

bool CallManagerThread::Dial(const std::string& number) {
    if (number.empty()) {
        return false;
    }
    return Post([this, number] { DoDial(number); });
}

bool CallManagerThread::SendDtmf(int key) {
    return Post([this, key] { DoSendDtmf(key); });
}

bool CallManagerThread::Answer() {
    return Post([this] { DoAnswer(); });
}

bool CallManagerThread::HangUp() {
    return Post([this] { DoHangUp(); });
}

void CallManagerThread::SetVolumes(int position, int maximum) {
    if (!Started()) {
        DoSetVolumes(position, maximum);
        return;
    }
    Post([this, position, maximum] { DoSetVolumes(position, maximum); });
}

void CallManagerThread::RunPostedCommands() {
    for (CallCommandQueue::Command& command : commands_.TakeAll()) {
        command();
    }
}

// ---- the operations, on the loop thread ----

bool CallManagerThread::DoDial(const std::string& number) {
    if (number.empty() || !ChangeState(false, Outgoing)) {
        return false;
    }
    if (RegisterRequired && !Binding.Registered) {
        // Nothing was sent, so there is no call to keep the state busy for.
        ChangeState(false, Idle);
        return false;
    }
    const size_t stars = number.find("**");
    if (stars == std::string::npos || stars == 0) {
        Composer.DialledNumber = number;
        DtmfDigits.clear();
        DtmfPending = false;
    } else {
        Composer.DialledNumber = number.substr(0, stars);
        if (number.size() > stars + 2) {
            DtmfDigits = number.substr(stars + 2);
            DtmfPending = true;
        }
    }
    Composer.RequestUri = Composer.DialledNumber + "@" + Settings.ProxyHost;
    InviteAnswers = 0;
    AckToOkBytes.clear();
    const int length = ComposeMessage(true, MessageKind::Invite);
    if (length <= 0) {
        ChangeState(false, Idle);
        return false;
    }
    SendRequestComposed("INVITE", length);
    ShowLine("Calling to : " + number);
    return true;
}

bool CallManagerThread::DoSendDtmf(int key) {
    if (key < MessageKind::FirstInfo || key > MessageKind::LastInfo) {
        return false;
    }
    if (!ChangeState(true, Outgoing) || !Connected) {
        return false;
    }
    const int length = ComposeMessage(true, key);
    if (length <= 0) {
        return false;
    }
    // The second copy is the operator's own habit; the transaction resends if both are lost.
    SendRequestComposed("INFO", length);
    SendToProxy(SendBuffer);
    ShowLine("Press Button : " + DtmfKeyText(key));
    return true;
}

void CallManagerThread::DoAnswer() {
    if (!ChangeState(true, Incoming)) {
        return;
    }
    HandsetRinging = false;
    ReleaseRingDevice();
    ShowLine("Answering call!");
    const int length = ComposeMessage(false, MessageKind::OkWithAnswer);
    if (length > 0) {
        // Resent by the transaction until the caller's ACK arrives.
        Transactions.Respond(IncomingInviteKey, "INVITE", Composer.DialogCallId, 200, SendBuffer);
        SendToProxy(SendBuffer);
    }
    if (!VoiceOpen) {
        VoiceOpen = StartVoice();
    }
    if (!VoiceOpen) {
        ShowLine("Voice channel failed!");
    }
    Connected = true;
}

void CallManagerThread::DoHangUp() {
    const bool outgoing = ChangeState(true, Outgoing);
    if (!outgoing && !ChangeState(true, Incoming)) {
        return;
    }
    ShowLine("Hanging up call!");
    if (RingDevice) {
        RingDevice->Close();
        platform::SleepMs(kRingCloseWaitMs);
        RingDevice.reset();
        platform::SleepMs(kRingCloseWaitMs);
        ShowLine("Stop Ringing!");
    }
    if (VoiceOpen) {
        StopVoice();
    }
    int kind = MessageKind::BusyHere;
    if (outgoing) {
        kind = Connected ? MessageKind::ByeFromCaller : MessageKind::Cancel;
    } else if (Connected) {
        kind = MessageKind::ByeFromCallee;
    }
    const int length = ComposeMessage(kind != MessageKind::BusyHere, kind);
    if (length > 0) {
        // The second copy is the operator's own habit; the transaction resends if both go.
        if (kind == MessageKind::BusyHere) {
            Transactions.Respond(IncomingInviteKey, "INVITE", Composer.DialogCallId, 486,
                                 SendBuffer);
        } else {
            SendRequestComposed(kind == MessageKind::Cancel ? "CANCEL" : "BYE", length);
        }
        SendToProxy(SendBuffer);
    }
    ClearCall();
    ChangeState(false, Idle);
}

void CallManagerThread::DoSetVolumes(int position, int maximum) {
    VolumePosition = position;
    VolumeMax = maximum;
    if (Playback) {
        Playback->SetVolume(VolumeMax, VolumePosition);
    }
}

bool CallManagerThread::StartVoice() {
    if (RtpSession == nullptr) {
        RtpSession = new rtp_session();
    }
    if (!rtp_open(RtpSession, static_cast<uint16_t>(Settings.LocalRtpPort & 0xFFFF), 0)) {
        CloseRtpSession();
        return false;
    }
    const bool portValid = RemoteRtpPort > 0 && RemoteRtpPort <= 0xFFFF;
    if (!portValid || rtp_connect(RtpSession, RemoteRtpAddress.c_str(),
                                  static_cast<uint16_t>(RemoteRtpPort)) != 0) {
        if (MessageList != nullptr) {
            ShowLine("G729 dll failed!");
        }
        // An open session left behind would hold the RTP port and make the next try fail.
        CloseRtpSession();
        return false;
    }
    if (CodecLibrary == nullptr) {
        CloseRtpSession();
        return false;
    }
    Capture = std::make_unique<CDeviceMC>(CodecLibrary, PayloadType, CaptureBlockSize, RtpSession);
    Capture->SetDeviceId(MicrophoneDevice);
    Capture->SetMute(false);
    // Closing the ring tone and opening a sound device take a while: the far end hears
    // from the phone first.
    Capture->SendSilenceUntilDelivered();
    LastSilenceMs = platform::TickCountMs();
    SilenceSent = true;
    ReleaseRingDevice();
    Capture->Open();
    Playback = std::make_unique<CDeviceSP>(CodecLibrary, PayloadType, RtpSession);
    Playback->SetDeviceId(SpeakerDevice);
    Playback->SetVolume(VolumeMax, VolumePosition);
    Playback->Open();
    FarEndVoice.Start(platform::TickCountMs());
    if (MessageList != nullptr) {
        ShowLine("Voice Channel created!");
    }
    return true;
}

void CallManagerThread::StopVoice() {
    ReleaseMedia();
    VoiceOpen = false;
    ShowLine("Voice Channel closed!");
}

void CallManagerThread::ClearCall() {
    ReleaseRingDevice();
    if (VoiceOpen) {
        StopVoice();
    }
    Connected = false;
    HandsetRinging = false;
    CycleCount = 0;
    ShowLine("Call cleared!");
    if (MessageList != nullptr) {
        MessageList->ShowLastRows(1);
    }
}

void CallManagerThread::StartRingDevice() {
    if (RingDevice) {
        return;
    }
    RingDevice = std::make_unique<CRingDeviceSP>();
    RingDevice->SetDeviceId(SpeakerDevice);
    RingDevice->Open();
}

void CallManagerThread::ReleaseRingDevice() {
    if (!RingDevice) {
        return;
    }
    RingDevice.reset();
    // A call's silence keeps its 20 ms pace through the wait.
    for (int waited = 0; waited < kRingReleaseWaitMs; waited += kCycleSleepMs) {
        SendSilenceUntilTheMicrophoneDelivers();
        platform::SleepMs(kCycleSleepMs);
    }
}

void CallManagerThread::CloseRtpSession() {
    if (RtpSession != nullptr) {
        rtp_close(RtpSession);
        RtpSession = nullptr;
    }
}

void CallManagerThread::ReleaseMedia() {
    ReleaseRingDevice();
    // The capture side sends through the session and the receive thread reads its socket:
    // both are stopped (the receive thread joined) before the session is closed.
    Capture.reset();
    Playback.reset();
    CloseRtpSession();
}

void CallManagerThread::SendComposed(int length) {
    if (length > 0) {
        SendToProxy(SendBuffer);
    }
}

void CallManagerThread::SendRequestComposed(const std::string& method, int length) {
    if (length > 0) {
        Transactions.SendRequest(method, Composer.LastBranch, Composer.DialogCallId,
                                 Composer.SeqNumber, SendBuffer);
    }
}

void CallManagerThread::RespondComposed(int status, int length) {
    if (length > 0 && CurrentMessage != nullptr) {
        Transactions.Respond(ServerKey(*CurrentMessage), CurrentMessage->CSeqMethod,
                             CurrentMessage->CallID, status, SendBuffer);
    }
}

void CallManagerThread::ReplyFromRequest(const std::string& statusLine, int status,
                                         bool withAnswer) {
    RespondComposed(status,
                    Composer.ComposeReplyTo(*CurrentMessage, statusLine, withAnswer, SendBuffer));
}

std::string CallManagerThread::ServerKey(const CSIPSDPMessage& request) {
    if (request.TopViaBranch.rfind("z9hG4bK", 0) == 0) {
        return request.TopViaBranch;
    }
    // An older peer's request is told apart by what RFC 2543 matched on.
    return request.CallID + "/" + std::to_string(CSeqNumber(request)) + "/" + request.FromTag;
}

bool CallManagerThread::InCurrentDialog() {
    return (ChangeState(true, Outgoing) || ChangeState(true, Incoming)) &&
           CurrentMessage->CallID == Composer.DialogCallId;
}

// ---- composition and sending ----

int CallManagerThread::ComposeMessage(bool isRequest, int kind) {
    return Composer.ComposeMessage(isRequest, kind, CurrentMessage, SendBuffer);
}

bool CallManagerThread::SendToProxy(const std::string& bytes) {
    if (!SendRecv || bytes.empty() || bytes.size() > SipComposer::kMaxDatagram) {
        return false;
    }
    return SendRecv->SendDatagram(bytes.data(), bytes.size());
}

// ---- registration ----

void CallManagerThread::SendRegister() {
    SetLamp(clRed);
    // A repeat replaces the REGISTER before it, which need not go on being resent.
    Transactions.StopResending("REGISTER");
    SendRequestComposed("REGISTER", Composer.ComposeRegister(Binding, "", SendBuffer));
}

void CallManagerThread::OnChallenge(int status) {
    const CSIPSDPMessage& challenge = *CurrentMessage;
    if (!Binding.AnswerChallenge(challenge.Nonce)) {
        // The registrar turned down the digest it asked for: the account or key is wrong.
        ShowLine("Authentication failed!");
        Binding.Refused(platform::SecondsSince1970());
        ChangeState(false, Idle);
        return;
    }
    Composer.Digest.TakeChallenge(challenge);
    const char* header = status == 407 ? "Proxy-Authorization" : "Authorization";
    SendRequestComposed("REGISTER", Composer.ComposeRegister(Binding, header, SendBuffer));
}

void CallManagerThread::OnIntervalTooBrief() {
    if (Binding.RaiseExpires(CurrentMessage->MinExpires)) {
        SendRequestComposed("REGISTER", Composer.ComposeRegister(Binding, "", SendBuffer));
    }
}

void CallManagerThread::OnRegistered() {
    Binding.Granted(platform::SecondsSince1970(),
                    Registration::GrantedSeconds(*CurrentMessage, Composer.ContactUri()));
    ChangeState(false, Idle);
    SetLamp(clLime);
}

void CallManagerThread::UpkeepRegistration() {
    if (!RegisterRequired) {
        return;
    }
    const int64_t now = platform::SecondsSince1970();
    if (!Binding.NeedsAttention(now)) {
        return;
    }
    if (ChangeState(false, Registering)) {
        Binding.AttemptStarted(now);
        SendRegister();
        return;
    }
    // A call or a REGISTER is outstanding: the refresh waits, the NAT binding must not.
    if (Binding.TakeKeepalive(now)) {
        SendToProxy(kKeepalive);
    }
    if (ChangeState(true, Registering) && Binding.RepeatDue(now)) {
        Binding.Repeated(now);
        SendRegister();
    }
}

// ---- received messages ----

void CallManagerThread::HandleRequest(int code) {
    if (CurrentMessage == nullptr) {
        return;
    }
    const std::string key = ServerKey(*CurrentMessage);
    const int method = code - SIPSDPModule::kRequestBase;
    if (method == kAckRequest) {
        Transactions.OnAck(key, CurrentMessage->CallID);
    } else if (!Transactions.AbsorbRepeat(key, CurrentMessage->CSeqMethod)) {
        // A repeated request has had its last response sent again instead.
        DispatchRequest(method);
    }
    if (MessageList != nullptr) {
        MessageList->ShowLastRows(kRowsInView);
    }
}

void CallManagerThread::DispatchRequest(int method) {
    const bool inDialog = InCurrentDialog();
    const bool toTagged = !CurrentMessage->ToTag.empty();
    switch (method) {
        case kInviteRequest:
            if (!toTagged) {
                OnInvite();
            } else if (inDialog) {
                OnReinvite();
            } else {
                ReplyFromRequest(kNoSuchCall, 481, false);
            }
            break;
        case kByeRequest:
        case kCancelRequest:
            if (!inDialog) {
                ReplyFromRequest(kNoSuchCall, 481, false);
            } else if (method == kByeRequest) {
                OnBye();
            } else {
                OnCancel();
            }
            break;
        case kOptionsRequest:
            OnOptions();
            break;
        case kInfoRequest:
        case kUpdateRequest:
            if (inDialog) {
                ReplyFromRequest("SIP/2.0 200 OK", 200, false);
            } else if (toTagged) {
                ReplyFromRequest(kNoSuchCall, 481, false);
            }
            break;
        default:  // the rest are not acted on and get no response
            break;
    }
}

void CallManagerThread::OnInvite() {
    if (CurrentMessage == nullptr) {
        return;
    }
    if (!ChangeState(false, Incoming)) {
        RespondComposed(486, ComposeMessage(false, MessageKind::BusyHereOtherInvite));
        return;
    }
    IncomingInviteKey = ServerKey(*CurrentMessage);
    RespondComposed(100, ComposeMessage(false, MessageKind::Trying));
    if (!OffersPayload(kAcceptedPayloadType, CurrentMessage->MediaPayloads)) {
        RespondComposed(415, ComposeMessage(false, MessageKind::UnsupportedMediaType));
        // The refused INVITE is over: without this the Dial button would "answer" it.
        ChangeState(false, Idle);
        return;
    }
    RemoteRtpAddress = CurrentMessage->MediaAddress;
    RemoteRtpPort = CurrentMessage->MediaPort;
    const std::string& contact = CurrentMessage->ContactURI;
    Composer.RequestUri = contact.rfind("sip:", 0) == 0 ? contact.substr(4) : contact;
    Composer.Dialog.TakeFromRequest(*CurrentMessage);
    Composer.PendingToTag = Composer.NewTag();
    RespondComposed(180, ComposeMessage(false, MessageKind::Ringing));
    ShowLine("Calling from " + CallerOfCurrentMessage());
    if (!RingDevice) {
        StartRingDevice();
        if (HandsetPresent) {
            HandsetRinging = true;
        }
    }
}

std::string CallManagerThread::CallerOfCurrentMessage() const {
    if (!CurrentMessage->CallerNumber.empty()) {
        return CurrentMessage->CallerNumber;
    }
    const std::string& from = CurrentMessage->FromValue;
    const size_t sip = from.find("sip:");
    if (sip == std::string::npos) {
        return {};
    }
    const size_t user = sip + 4;
    const size_t at = from.find('@', user);
    return at == std::string::npos ? std::string() : from.substr(user, at - user);
}

void CallManagerThread::OnBye() {
    const bool outgoing = ChangeState(true, Outgoing);
    const bool incoming = !outgoing && ChangeState(true, Incoming);
    if (!outgoing && !incoming) {
        return;
    }
    // The callee's BYE of an outgoing call has our From and To exchanged; the caller's BYE
    // of an incoming call has them as we stored them from its INVITE.
    RespondComposed(
        200, ComposeMessage(false, outgoing ? MessageKind::OkExchanged : MessageKind::OkAsStored));
    if (VoiceOpen) {
        StopVoice();
    }
    ClearCall();
    ChangeState(false, Idle);
}

void CallManagerThread::OnCancel() {
    if (!ChangeState(true, Outgoing) && !ChangeState(true, Incoming)) {
        return;
    }
    RespondComposed(200, ComposeMessage(false, MessageKind::OkAsStored));
    if (ChangeState(true, Incoming) && !Connected &&
        ComposeMessage(false, MessageKind::RequestTerminated) > 0) {
        // The cancelled INVITE gets its own final response, or its transaction would wait.
        Transactions.Respond(IncomingInviteKey, "INVITE", Composer.DialogCallId, 487, SendBuffer);
    }
    ReleaseRingDevice();
    if (VoiceOpen) {
        StopVoice();
    }
    ClearCall();
    ChangeState(false, Idle);
}

void CallManagerThread::OnOptions() {
    const std::string& funds = CurrentMessage->Funds;
    if (funds.empty()) {
        ReplyFromRequest("SIP/2.0 200 OK", 200, false);
        return;
    }
    const size_t blank = funds.find(' ');
    if (blank == std::string::npos) {
        ShowLine("Balance:" + funds);
        return;
    }
    ShowLine("Balance:" + funds.substr(0, blank));
    ShowLine("Time:" + funds.substr(blank + 1));
}

void CallManagerThread::OnReinvite() {
    // A session refresh, a hold or a move of the far end's media: the call goes on, with
    // the voice following the new address.
    ReplyFromRequest("SIP/2.0 200 OK", 200, true);
    const std::string& address = CurrentMessage->MediaAddress;
    const int port = CurrentMessage->MediaPort;
    const std::string& direction = CurrentMessage->MediaDirection;
    // An older far end holds the call by naming no address at all.
    const bool noAddress = address == "0.0.0.0";
    if (!address.empty() && !noAddress && (address != RemoteRtpAddress || port != RemoteRtpPort)) {
        RemoteRtpAddress = address;
        RemoteRtpPort = port;
        if (VoiceOpen) {
            ReleaseMedia();
            VoiceOpen = StartVoice();
        }
    }
    // A far end on hold sends no voice (or music it may stop): its silence is not watched.
    if (!direction.empty() || noAddress) {
        FarEndVoice.SetHeld(noAddress || direction != "sendrecv", platform::TickCountMs());
    }
}

void CallManagerThread::DispatchResponse(int code) {
    const CSIPSDPMessage& m = *CurrentMessage;
    const int status = code - SIPSDPModule::kResponseBase;
    const SipTransactions::Fate fate =
        Transactions.OnResponse(m.TopViaBranch, m.CSeqMethod, m.CallID, CSeqNumber(m), status);
    if (fate == SipTransactions::Fate::Unmatched) {
        return;
    }
    if (m.CSeqMethod == "REGISTER") {
        if (fate == SipTransactions::Fate::First) {
            HandleRegisterResponse(status);
        }
        return;
    }
    if (m.CSeqMethod == "INVITE") {
        OnInviteResponse(code, fate == SipTransactions::Fate::Repeat);
    } else if (m.CSeqMethod == "INFO" && fate == SipTransactions::Fate::First && status >= 300) {
        // One key did not reach the far end; the call itself goes on.
        ShowLine("DTMF failed!");
    }
}

void CallManagerThread::OnInviteResponse(int code, bool repeat) {
    const CSIPSDPMessage& m = *CurrentMessage;
    const int status = code - SIPSDPModule::kResponseBase;
    // An earlier call's INVITE may still be answered late; only the current one counts.
    if (m.CallID != Composer.DialogCallId) {
        return;
    }
    if (repeat) {
        // The far end did not get our ACK and repeats its 2xx.
        if (IsSuccess(status) && !AckToOkBytes.empty()) {
            SendToProxy(AckToOkBytes);
        }
        return;
    }
    if (IsSuccess(status) && !ChangeState(true, Outgoing)) {
        AnswerCrossedOk();
        return;
    }
    HandleResponse(code);
}

void CallManagerThread::AnswerCrossedOk() {
    // The far end answered as we cancelled or hung up: the dialog it made is closed at once.
    Composer.Dialog.TakeFromResponse(*CurrentMessage);
    Composer.PendingToTag = CurrentMessage->ToTag;
    SendComposed(ComposeMessage(true, MessageKind::AckToOk));
    AckToOkBytes = SendBuffer;
    SendRequestComposed("BYE", ComposeMessage(true, MessageKind::ByeFromCaller));
}

void CallManagerThread::OnExpiredTransactions() {
    for (const SipTransactions::Expiry& expiry : Transactions.Tick()) {
        if (expiry.method != "INVITE") {
            continue;
        }
        if (expiry.server) {
            // Our 2xx was never acknowledged: the caller is gone, the dialog is closed.
            if (ChangeState(true, Incoming) && Connected && expiry.branch == IncomingInviteKey) {
                SendRequestComposed("BYE", ComposeMessage(true, MessageKind::ByeFromCallee));
                ClearCall();
                ChangeState(false, Idle);
            }
        } else if (expiry.branch == Composer.InviteBranch && ChangeState(true, Outgoing) &&
                   !Connected) {
            ShowLine("No response!");
            ClearCall();
            ChangeState(false, Idle);
        }
    }
}

void CallManagerThread::HandleRegisterResponse(int status) {
    // Only the attempt in progress counts; a late answer to an earlier one changes nothing.
    if (!ChangeState(true, Registering) || CurrentMessage->CallID != Binding.CallId) {
        return;
    }
    if (IsSuccess(status)) {
        OnRegistered();
    } else if (status == 401 || status == 407) {
        OnChallenge(status);
    } else if (status == 423) {
        OnIntervalTooBrief();
    } else if (status == 404) {
        ShowLine("Not Use!");
    }
}

void CallManagerThread::HandleResponse(int code) {
    if (CurrentMessage == nullptr) {
        return;
    }
    switch (code - SIPSDPModule::kResponseBase) {
        case 100:
            OnTrying();
            break;
        case 181:
        case 182:
        case 199:
            // Forwarded, queued, early dialog ended: news for the user, the call goes on.
            ShowLine(CurrentMessage->StartLine.size() > 12 ? CurrentMessage->StartLine.substr(12)
                                                           : CurrentMessage->StartLine);
            break;
        case 180:
            OnRinging();
            break;
        case 183:
            OnSessionProgress();
            break;
        case 200:
            OnOk();
            break;
        case 401:
            OnInviteChallenge(MessageKind::InviteWithUserAuthorization);
            break;
        case 404:
            ShowLine("Not Use!");
            // Final for the INVITE: unacknowledged, the call would hang until hang-up.
            EndFailedCall();
            break;
        case 407:
            OnInviteChallenge(MessageKind::InviteWithAuthorization);
            break;
        case 415:
            ShowLine("Unsupported Media Type!");
            EndFailedCall();
            break;
        case 481:
            EndFailedCall();
            break;
        case 484:
            ShowLine("Wrong number!");
            EndFailedCall();
            break;
        case 486:
            ShowLine("User Busy!");
            EndFailedCall();
            break;
        case 487:
            // The INVITE was cancelled by HangUp, which has already cleared the call; the
            // proxy still waits for its ACK.
            SendAck();
            break;
        default:
            // Other provisional responses only say the request is on its way.
            if (code - SIPSDPModule::kResponseBase >= 200) {
                EndFailedCall();
            }
            break;
    }
}

void CallManagerThread::OnTrying() {
    const std::string& line = CurrentMessage->StartLine;
    // "SIP/2.0 100 Trying" is 18 characters; anything else is the proxy's own wording.
    if (line.size() == 18) {
        ShowLine("Trying...");
    } else {
        ShowLine(line.size() > 12 ? line.substr(12) : std::string());
    }
}

void CallManagerThread::OnRinging() {
    ShowLine("Ringing!");
    // A 180 that arrives after the call ended must not start a ring-back that nothing stops;
    // one overtaken by the 200 on the way must not ring over the answered call.
    if (!ChangeState(true, Outgoing) || Connected) {
        return;
    }
    Composer.PendingToTag = CurrentMessage->ToTag;
    StartRingDevice();
}

void CallManagerThread::OnSessionProgress() {
    if (ChangeState(true, Outgoing)) {
        if (Composer.PendingToTag.empty()) {
            Composer.PendingToTag = CurrentMessage->ToTag;
        }
        OpenVoiceFromCurrentMessage();
    }
    ShowLine("183 Session Progress!");
}

void CallManagerThread::OnOk() {
    if (!ChangeState(true, Outgoing)) {
        return;
    }
    if (!Connected) {
        ShowLine("Called connected!");
        Connected = true;
        if (Composer.PendingToTag.empty()) {
            Composer.PendingToTag = CurrentMessage->ToTag;
        }
        Composer.Dialog.TakeFromResponse(*CurrentMessage);
        // The ACK carries the callee's tag into To; it is kept for repeats of the 2xx.
        SendComposed(ComposeMessage(true, MessageKind::AckToOk));
        AckToOkBytes = SendBuffer;
        Composer.PendingToTag.clear();
    }
    OpenVoiceFromCurrentMessage();
}

void CallManagerThread::OpenVoiceFromCurrentMessage() {
    if (!VoiceOpen) {
        RemoteRtpAddress = CurrentMessage->MediaAddress;
        RemoteRtpPort = CurrentMessage->MediaPort;
        VoiceOpen = StartVoice();
    }
    ReleaseRingDevice();
    if (!VoiceOpen) {
        ShowLine("RTP channel failed!");
    }
}

void CallManagerThread::OnInviteChallenge(int authorisedKind) {
    if (!ChangeState(true, Outgoing)) {
        return;
    }
    // One answer per nonce: the same challenge again means the proxy refuses the key. A
    // proxy that changes its nonce is answered again, a few times at most.
    if (InviteAnswers > 0 && (CurrentMessage->Nonce == Composer.Digest.AuthNonce ||
                              InviteAnswers >= Registration::kMaxAnswersPerAttempt)) {
        ShowLine("Authentication failed!");
        EndFailedCall();
        return;
    }
    SendAck();
    Composer.Digest.TakeChallenge(*CurrentMessage);
    ++InviteAnswers;
    SendRequestComposed("INVITE", ComposeMessage(true, authorisedKind));
}

void CallManagerThread::EndFailedCall() {
    if (!ChangeState(true, Outgoing)) {
        return;
    }
    SendAck();
    ClearCall();
    ChangeState(false, Idle);
}

void CallManagerThread::SendAck() {
    // The ACK of a non-2xx final belongs to the INVITE's transaction, which sends it again
    // whenever the response is repeated.
    if (ComposeMessage(true, MessageKind::Ack) > 0) {
        SendToProxy(SendBuffer);
        Transactions.SetAck(Composer.InviteBranch, SendBuffer);
    }
}

void CallManagerThread::DispatchOneMessage() {
    if (!Queue) {
        return;
    }
    const int slot = Queue->PeekHead();
    if (slot < 0) {
        return;
    }
    CurrentMessage = Queue->MessageAt(slot);
    if (CurrentMessage != nullptr) {
        const int code = CurrentMessage->Code;
        switch (code / 1000) {
            case 1:
                HandleRequest(code);
                break;
            case 2:
                DispatchResponse(code);
                break;
            default:
                break;
        }
    }
    CurrentMessage = nullptr;
    Queue->RemoveHead();
}

// ---- the loop ----

void CallManagerThread::SendPendingDtmf() {
    if (!DtmfPending || !Connected || DtmfDigits.empty()) {
        return;
    }
    // The burst holds the loop on purpose: the digits go out in order, 350 ms apart.
    for (const char c : DtmfDigits) {
        if (!SleepUnlessTerminated(kDtmfGapMs)) {
            break;
        }
        const int key = DtmfKeyFor(c);
        if (key >= 0) {
            DoSendDtmf(key);
        }
    }
    DtmfPending = false;
    DtmfDigits.clear();
}

void CallManagerThread::RingHandsetWhenDue() {
    if (!HandsetRinging) {
        return;
    }
    if (CycleCount % kHandsetRingCycles == 0 && Ringer != nullptr) {
        Ringer->RingHandset();
    }
    CycleCount = (CycleCount + 1) % kHandsetRingCycles;
}

// Between calls only a received message, a posted command or the turn of a second (for the
// registration upkeep, which counts whole seconds) can change anything.
bool CallManagerThread::NothingToWatch() {
    return (ChangeState(true, Idle) || ChangeState(true, Registering)) && !DtmfPending &&
           !HandsetRinging && RtpSession == nullptr && !Capture && !Playback && !RingDevice &&
           !Transactions.Resending() && (!Queue || Queue->Count() == 0);
}

bool CallManagerThread::QuietCall() {
    // The microphone paces the voice on its own thread and every received message nudges the
    // loop: nothing in a settled call needs the 5 ms cycle.
    return Connected && VoiceOpen && Capture && Capture->Delivered() && !DtmfPending &&
           !HandsetRinging && !RingDevice && !Transactions.Resending() &&
           (!Queue || Queue->Count() == 0);
}

int CallManagerThread::MsPastNextClockSecond() {
    const int64_t ms = platform::CurrentClock().MicrosecondsSince1970() / 1000;
    // A replaced clock may stand before 1970; a rest never exceeds one second either way.
    const int64_t intoSecond = ((ms % 1000) + 1000) % 1000;
    return static_cast<int>(1000 - intoSecond) + kSecondTurnMarginMs;
}

// Past the turn of the second at which the registration next falls due, and at least past
// the next turn: the upkeep has done what the current second asked.
int CallManagerThread::MsPastRegistrationDue() {
    if (!RegisterRequired) {
        return kIdleRestMaxMs;
    }
    const int64_t ms = platform::CurrentClock().MicrosecondsSince1970() / 1000;
    const int64_t now = platform::SecondsSince1970();
    const int64_t due = std::max(Binding.NextDue(now, ChangeState(true, Registering)), now + 1);
    return static_cast<int>(
        std::clamp<int64_t>(due * 1000 - ms + kSecondTurnMarginMs, 0, kIdleRestMaxMs));
}

void CallManagerThread::WaitForNextCycle() {
    // Both wake-ups nudge the loop, so an idle phone rests instead of polling 200 times a
    // second, and the upkeep still runs just after the turn of the second it is due in. While
    // a call is set up, rings or sends DTMF the cycle stays 5 ms: the ring cadence counts
    // cycles.
    if (restWhenIdle_ && NothingToWatch()) {
        SleepUntilNudged(std::max(MsPastNextClockSecond(), MsPastRegistrationDue()));
    } else if (restWhenIdle_ && QuietCall()) {
        SleepUntilNudged(std::min(kQuietCallRestMs, MsPastNextClockSecond()));
    } else {
        SleepUnlessTerminated(kCycleSleepMs);
    }
}

void CallManagerThread::RunCycle() {
    RunPostedCommands();
    SendPendingDtmf();
    SendSilenceUntilTheMicrophoneDelivers();
    // The loop stays the one place where the call is changed; messages wait at most one
    // cycle for it, or wake it when it rests between calls.
    WaitForNextCycle();
    UpkeepRegistration();
    OnExpiredTransactions();
    DispatchOneMessage();
    RingHandsetWhenDue();
    WatchFarEndVoice();
}

void CallManagerThread::SendSilenceUntilTheMicrophoneDelivers() {
    if (!Capture || Capture->Delivered()) {
        SilenceSent = false;
        return;
    }
    const uint32_t now = platform::TickCountMs();
    if (SilenceSent && now - LastSilenceMs < kPacketMs) {
        return;
    }
    Capture->SendSilenceUntilDelivered();
    LastSilenceMs = now;
    SilenceSent = true;
}

void CallManagerThread::WatchFarEndVoice() {
    if (!Connected || !VoiceOpen || !Playback) {
        return;
    }
    const uint32_t packets = Playback->ReceiveThread()->PacketsAccepted();
    switch (FarEndVoice.Observe(packets, platform::TickCountMs())) {
        case VoiceWatch::Verdict::Fine:
            break;
        case VoiceWatch::Verdict::Silent:
            ShowLine("No voice from the far end!");
            break;
        case VoiceWatch::Verdict::Gone:
            // Nobody is there to hang up: the phone does, with a BYE.
            DoHangUp();
            break;
    }
}

void CallManagerThread::Execute() {
    restWhenIdle_ = true;
    SetLamp(clRed);
    while (!Terminated()) {
        RunCycle();
    }
    commands_.Close();
    ReleaseAll();
}

void CallManagerThread::WakeUp() {
    commands_.Close();
}

void CallManagerThread::ReleaseAll() {
    // No lines here: the window may already be going. The session goes too, after the
    // devices that use it, so its port is free for the next call manager.
    ReleaseMedia();
    VoiceOpen = false;
    if (SendRecv) {
        SendRecv->TerminateAndWait();
        SendRecv.reset();
    }
    Parser.reset();
    Queue.reset();
}

void CallManagerThread::SetLamp(uint32_t colour) {
    if (StatusLamp != nullptr) {
        StatusLamp->SetBrushColor(colour);
    }
}
