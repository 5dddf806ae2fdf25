#pragma once

#include <cstdint>
#include <string>

#include "call/CallSettings.h"
#include "sip/SIPSDPMessage.h"

// The phone's binding at the operator's registrar: when a REGISTER falls due, how long the
// registrar keeps the binding, which challenge has been answered. Bookkeeping only, on the
// seconds the call manager hands in; the call manager composes, sends and holds the state.
//
// One registration keeps its Call-ID and From tag across refreshes, so a registrar sees the
// same binding refreshed; the CSeq counts up with every REGISTER.
class Registration {
public:
    // An unanswered REGISTER goes again once more than this many seconds have passed.
    static constexpr int kRetrySeconds = 5;
    // After the registrar refused the account and key, the next attempt waits this long.
    static constexpr int kRefusedRetrySeconds = 60;
    // A granted expiry is refreshed this long before it runs out (or at half of it).
    static constexpr int kRefreshMarginSeconds = 30;
    // Challenges answered in one attempt, new nonces included, before it is given up.
    static constexpr int kMaxAnswersPerAttempt = 3;

    // The refresh interval is the settings' RegisterInterval, which REGISTER asks for.
    explicit Registration(const CallSettings& settings) : settings_(settings) {}

    // Whether anything is to be done about the binding at now: it is missing, or old enough
    // to be refreshed, and no refusal is being waited out.
    bool NeedsAttention(int64_t now) const;
    // A new attempt starts with an unauthorised REGISTER sent at now.
    void AttemptStarted(int64_t now);
    // The first second from now on at which the upkeep can have something to do: the attempt
    // or refresh when no REGISTER is outstanding, else its repeat or the keepalive.
    int64_t NextDue(int64_t now, bool outstanding) const;
    // Whether the outstanding REGISTER has gone unanswered long enough to be repeated.
    bool RepeatDue(int64_t now) const { return now - LastSent > kRetrySeconds; }
    void Repeated(int64_t now) { LastSent = now; }
    // Whether the proxy's NAT binding wants its keepalive while a refresh is held off; counts
    // it as sent.
    bool TakeKeepalive(int64_t now);

    // A 2xx: the binding holds for the seconds the registrar granted (-1 when it named none).
    void Granted(int64_t now, int grantedSeconds);
    // The granted expiry of the phone's contact in a 2xx to REGISTER: the contact's expires
    // parameter, else the Expires header; -1 when neither names one.
    static int GrantedSeconds(const CSIPSDPMessage& ok, const std::string& contactUri);
    // Seconds from a registration to its refresh.
    int RefreshAfter() const;

    // A 401 or 407 with nonce: whether to answer it. A nonce already answered means the key
    // is refused; so does a registrar that keeps handing out new ones.
    bool AnswerChallenge(const std::string& nonce);
    // The account and key were refused at now: the attempt ends and the next waits.
    void Refused(int64_t now);

    // A 423: whether to ask again at once for the registrar's minimum (once per attempt).
    bool RaiseExpires(int minExpires);
    // The expiry the next REGISTER asks for.
    int RequestedExpires() const;

    // Dialog values of the registration, chosen by the first REGISTER.
    std::string CallId;
    std::string Tag;

    bool Registered = false;
    int64_t RegisteredAt = 0;
    int64_t LastSent = 0;
    int KeepaliveCount = 1;

private:
    int Interval() const { return settings_.RegisterInterval > 0 ? settings_.RegisterInterval : 1; }

    const CallSettings& settings_;
    int granted_ = -1;
    int minimum_ = 0;
    bool raised_ = false;
    int answers_ = 0;
    std::string answeredNonce_;
    int64_t waitUntil_ = 0;
};
