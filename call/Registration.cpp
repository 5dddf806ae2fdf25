#include "call/Registration.h"

#include <algorithm>

bool Registration::NeedsAttention(int64_t now) const {
    if (now < waitUntil_) {
        return false;
    }
    return !Registered || now - RegisteredAt >= RefreshAfter();
}

int64_t Registration::NextDue(int64_t now, bool outstanding) const {
    if (!outstanding) {
        return std::max({now, waitUntil_, Registered ? RegisteredAt + RefreshAfter() : now});
    }
    const int64_t repeat = LastSent + kRetrySeconds + 1;
    const int64_t keepalive = RegisteredAt + int64_t{KeepaliveCount} * RefreshAfter();
    return std::max(now, Registered ? std::min(repeat, keepalive) : repeat);
}

void Registration::AttemptStarted(int64_t now) {
    Registered = false;
    LastSent = now;
    answers_ = 0;
    answeredNonce_.clear();
    raised_ = false;
}

bool Registration::TakeKeepalive(int64_t now) {
    if ((now - RegisteredAt) / RefreshAfter() != KeepaliveCount) {
        return false;
    }
    ++KeepaliveCount;
    return true;
}

void Registration::Granted(int64_t now, int grantedSeconds) {
    Registered = true;
    RegisteredAt = now;
    KeepaliveCount = 1;
    granted_ = grantedSeconds;
    waitUntil_ = 0;
}

int Registration::GrantedSeconds(const CSIPSDPMessage& ok, const std::string& contactUri) {
    for (const SipContact& contact : ok.Contacts) {
        // The registrar lists every binding of the account; ours is the one with our address.
        const bool ours =
            contact.Uri.compare(0, contactUri.size(), contactUri) == 0 &&
            (contact.Uri.size() == contactUri.size() || contact.Uri[contactUri.size()] == ';');
        if (ours && contact.Expires >= 0) {
            return contact.Expires;
        }
    }
    return ok.Expires;
}

int Registration::RefreshAfter() const {
    if (granted_ < 0) {
        return Interval();
    }
    // Early enough that a lost refresh can be repeated before the binding runs out.
    const int early = std::max(granted_ - kRefreshMarginSeconds, granted_ / 2);
    return std::clamp(early, kRetrySeconds + 1, std::max(Interval(), kRetrySeconds + 1));
}

bool Registration::AnswerChallenge(const std::string& nonce) {
    if ((answers_ > 0 && nonce == answeredNonce_) || answers_ >= kMaxAnswersPerAttempt) {
        return false;
    }
    answeredNonce_ = nonce;
    ++answers_;
    return true;
}

void Registration::Refused(int64_t now) {
    Registered = false;
    waitUntil_ = now + kRefusedRetrySeconds;
}

bool Registration::RaiseExpires(int minExpires) {
    if (raised_ || minExpires <= RequestedExpires()) {
        return false;
    }
    raised_ = true;
    minimum_ = minExpires;
    return true;
}

int Registration::RequestedExpires() const {
    return std::max(minimum_, settings_.RegisterInterval);
}
