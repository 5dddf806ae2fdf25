#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "call/CallCommandQueue.h"
#include "call/CallSettings.h"
#include "call/CallView.h"
#include "call/HandsetRinger.h"
#include "call/SipComposer.h"
#include "call/VoiceWatch.h"
#include "media/DeviceMC.h"
#include "media/DeviceSP.h"
#include "media/RingDeviceSP.h"
#include "media/rtp.h"
#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/TCriticalSection.h"
#include "platform/TThread.h"
#include "sip/SIPSDPMessage.h"
#include "sip/SIPSDPMessageQueue.h"
#include "sip/SIPSDPModule.h"
#include "sip/SIPSendRecvThread.h"
#include "sip/SipTransactions.h"

// The SIP user agent: one worker thread that owns the call state, keeps the registration
// up, composes every message the phone sends and reacts to every message it receives.
// It holds one call at a time and talks only to the proxy, through CSIPSendRecvThread.
//
// Threads. The window's thread configures the object before Resume and afterwards only
// posts user operations (Dial, Answer, HangUp, SendDtmf, SetVolumes): each is marshalled
// as a command into a small locked queue that the loop drains at the start of every cycle.
// So the dialog record, the send buffer, the call flags and the media references are
// touched by the call manager's thread alone, compositions of both sides can never
// interleave, and no lock is ever held across a sleep or a call into the window. Commands
// posted before Resume wait for the loop; after Terminate they are dropped. The call state
// stays readable from any thread through ChangeState(true, ...), under StateLock. The
// methods marked "loop thread" run the operations directly; they are public so that a test
// can drive a suspended call manager one step at a time.
//
// The media objects of a call (session, capture, playback with its receive thread, ring
// tone) are made and released on the loop thread too. The short waits after a ring device
// goes (100 and 150 ms) are plain sleeps of the loop: the audio layer needs them to let go
// of the playback device before the next stream opens it, and posted commands simply wait.
class CallManagerThread : public TThread {
public:
    enum CallStateValue : int { Idle = 0, Incoming = 1, Outgoing = 2, Registering = 3 };

    static constexpr const char* kCodecLibraryName = "libKYR_Codec.so";
    // Keeps the proxy's NAT binding open while a registration refresh is held off.
    static constexpr const char* kKeepalive = "KYR";
    static constexpr int kCycleSleepMs = 5;
    // A resting loop wakes this long after the clock's second turns, so it reads the new one.
    static constexpr int kSecondTurnMarginMs = 2;
    // The longest rest between calls: a suspended machine or a clock set anew is noticed
    // this soon.
    static constexpr int kIdleRestMaxMs = 10000;
    // A settled call's longest rest: the bound on a late resend or a stalled hang-up.
    static constexpr int kQuietCallRestMs = 100;
    static constexpr int kDtmfGapMs = 350;
    static constexpr int kHandsetRingCycles = 200;
    static constexpr int kDefaultRegisterInterval = 7200;
    static constexpr int kMaxCaptureBlockSize = 1600;
    static constexpr size_t kRowWidth = 30;
    static constexpr int kRowsInView = 4;
    // Lets the playback device settle after the ring tone has let go of it.
    static constexpr int kRingReleaseWaitMs = 150;
    static constexpr int kRingCloseWaitMs = 100;
    static constexpr int kAcceptedPayloadType = 18;

    explicit CallManagerThread(bool registerRequired);
    ~CallManagerThread() override;

    // Configuration, from the window's thread before Resume.
    void SetMessageList(MessageListView* list) { MessageList = list; }
    void SetStatusLamp(StatusLampView* lamp) { StatusLamp = lamp; }
    void SetHandsetRinger(HandsetRinger* ringer) { Ringer = ringer; }
    void SetAccount(const std::string& account, const std::string& key);
    void SetProxy(const std::string& host, int port);
    void SetLocalAddress(const std::string& address);
    void SetLocalPort(int port) { Settings.LocalPort = port; }
    void SetRtpPort(int port) { Settings.LocalRtpPort = port & 0xFFFF; }
    void SetPayloadType(int n) { PayloadType = n; }
    void SetCaptureBlockSize(int n);
    void SetRegisterInterval(int seconds);
    void SetHandsetPresent(bool present) { HandsetPresent = present; }
    void SetAudioDevices(uint32_t speaker, const std::string& speakerName, uint32_t microphone,
                         const std::string& microphoneName);
    // Stores both values and chooses the playback and capture devices on the current audio
    // back end; both ids are 0 when no complete choice was found.
    void SelectAudioDevices(bool usbHandsetPresent, int installLanguage);

    // The first IPv4 address of host in dotted form; empty when it does not resolve.
    static std::string ResolveHost(const std::string& host);
    // Builds the queue, the parser and the send/receive thread, bound and running.
    void Start();
    void ShowSettings();
    // With test: whether the state is state. Otherwise a transition: a call or a
    // registration starts only from Idle, and every busy state returns only to Idle.
    bool ChangeState(bool test, int state);
    // ">" + text in rows of at most 30 characters, continuation rows starting with a blank.
    void ShowLine(const std::string& text);
    // Whether the SDP payload list offers pt (a textual test, as the operator's gateways
    // have always been matched).
    static bool OffersPayload(int pt, const std::string& list);

    // User operations, from the window's thread: posted to the loop. Each returns whether
    // the operation was taken (false once the thread has been asked to terminate, and for
    // an empty number).
    bool Dial(const std::string& number);
    bool SendDtmf(int key);
    bool Answer();
    bool HangUp();
    // Before Resume applied at once, afterwards posted.
    void SetVolumes(int position, int maximum);

    // Loop thread: the operations themselves.
    bool DoDial(const std::string& number);
    bool DoSendDtmf(int key);
    void DoAnswer();
    void DoHangUp();
    void DoSetVolumes(int position, int maximum);
    // One pass of the main loop: posted commands, DTMF burst, 5 ms sleep, registration
    // upkeep, at most one received message, handset ring. Between calls the running thread
    // rests until a message or command arrives or the second turns instead of sleeping 5 ms;
    // a test driving RunCycle itself always gets the 5 ms cycle.
    void RunCycle();
    // The oldest received message handled, as each cycle does after its wait.
    void DispatchOneMessage();
    void HandleRequest(int code);
    void HandleResponse(int code);
    // An unauthorised REGISTER of the binding, through its own transaction.
    void SendRegister();
    // Compose into SendBuffer from the dialog record and CurrentMessage; return the length.
    int ComposeMessage(bool isRequest, int kind);
    // One datagram to the proxy; false when there is no transport or the send fell short.
    bool SendToProxy(const std::string& bytes);
    bool StartVoice();
    void StopVoice();
    void ClearCall();
    // Stops the transport (joined) before its parser and queue go.
    void ReleaseAll();

    // Configuration.
    CallSettings Settings;
    uint32_t SpeakerDevice = 0;
    uint32_t MicrophoneDevice = 0;
    std::string SpeakerName;
    std::string MicrophoneName;
    int PayloadType = 0;
    int CaptureBlockSize = 0;
    int VolumeMax = 0;
    int VolumePosition = 0;
    const bool RegisterRequired;
    bool HandsetPresent = false;
    int InstallLanguage = 1;
    platform::LibraryHandle CodecLibrary = nullptr;

    // Links to the window (not owned).
    MessageListView* MessageList = nullptr;
    StatusLampView* StatusLamp = nullptr;
    HandsetRinger* Ringer = nullptr;

    // Owned transport; CurrentMessage belongs to Queue while it is handled.
    std::unique_ptr<CSIPSDPMessageQueue> Queue;
    std::unique_ptr<SIPSDPModule> Parser;
    std::unique_ptr<CSIPSendRecvThread> SendRecv;
    const CSIPSDPMessage* CurrentMessage = nullptr;

    // The phone's binding at the registrar, and the call flags (loop thread).
    Registration Binding{Settings};
    bool Connected = false;
    bool VoiceOpen = false;
    bool DtmfPending = false;
    std::string DtmfDigits;
    bool HandsetRinging = false;
    int CycleCount = 0;
    std::string RemoteRtpAddress;
    int RemoteRtpPort = 0;
    // Challenges to the call's INVITE answered so far.
    int InviteAnswers = 0;
    // Whether the far end's voice still comes, once the voice channel is open.
    VoiceWatch FarEndVoice;
    // When the last packet of silence went, while the microphone has delivered nothing.
    uint32_t LastSilenceMs = 0;
    bool SilenceSent = false;

    // The media objects of the current call (loop thread). Released in this order: ring
    // tone, capture (stops sending), playback (joins the receive thread), then the session.
    rtp_session* RtpSession = nullptr;
    std::unique_ptr<CDeviceMC> Capture;
    std::unique_ptr<CDeviceSP> Playback;
    std::unique_ptr<CRingDeviceSP> RingDevice;

    // The dialog record with its composer, and the send buffer of the last composition.
    SipComposer Composer{Settings};
    std::string SendBuffer;
    // Every transaction the phone takes part in; sends go straight to the proxy.
    SipTransactions Transactions{platform::ProcessClock(),
                                 [this](const std::string& bytes) { SendToProxy(bytes); }};
    // The ACK of the call's 2xx, sent again when the far end repeats its 2xx.
    std::string AckToOkBytes;
    // The key of the received INVITE that started the current incoming call.
    std::string IncomingInviteKey;

protected:
    void Execute() override;
    void WakeUp() override;

private:
    bool Post(CallCommandQueue::Command command);
    void RunPostedCommands();
    void SendPendingDtmf();
    void UpkeepRegistration();
    void RingHandsetWhenDue();
    void WatchFarEndVoice();
    void SendSilenceUntilTheMicrophoneDelivers();
    bool NothingToWatch();
    bool QuietCall();
    static int MsPastNextClockSecond();
    int MsPastRegistrationDue();
    void WaitForNextCycle();
    void OnChallenge(int status);
    void OnIntervalTooBrief();
    void OnRegistered();
    void OnTrying();
    void OnRinging();
    void OnSessionProgress();
    void OnOk();
    // A 401 or 407 to the INVITE, answered with an INVITE of authorisedKind.
    void OnInviteChallenge(int authorisedKind);
    void EndFailedCall();
    void SendAck();
    void OpenVoiceFromCurrentMessage();
    void StartRingDevice();
    void ReleaseRingDevice();
    void CloseRtpSession();
    void ReleaseMedia();
    void OnInvite();
    void OnBye();
    void OnCancel();
    void OnOptions();
    void OnReinvite();
    void DispatchRequest(int method);
    void DispatchResponse(int code);
    void HandleRegisterResponse(int status);
    void OnInviteResponse(int code, bool repeat);
    void AnswerCrossedOk();
    void OnExpiredTransactions();
    bool InCurrentDialog();
    static std::string ServerKey(const CSIPSDPMessage& request);
    // Sends the composition as a request of method through a client transaction.
    void SendRequestComposed(const std::string& method, int length);
    // Sends the composition as the response to CurrentMessage, kept by its transaction.
    void RespondComposed(int status, int length);
    void ReplyFromRequest(const std::string& statusLine, int status, bool withAnswer);
    std::string CallerOfCurrentMessage() const;
    void SendComposed(int length);
    void SetLamp(uint32_t colour);

    TCriticalSection StateLock;
    int CallState = Idle;
    CallCommandQueue commands_;
    bool restWhenIdle_ = false;  // set by the running thread itself
};
