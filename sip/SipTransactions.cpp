#include "sip/SipTransactions.h"

#include <algorithm>
#include <utility>

namespace {

constexpr const char* kMagicCookie = "z9hG4bK";

// Tick counts wrap: a deadline is reached when the distance to it is no longer positive.
bool Reached(uint32_t now, uint32_t at) {
    return static_cast<int32_t>(now - at) >= 0;
}

bool IsFinal(int status) {
    return status >= 200;
}

}  // namespace

void SipTransactions::SendRequest(const std::string& method, const std::string& branch,
                                  const std::string& callId, int cseq, const std::string& bytes) {
    const uint32_t now = clock_.TickCountMs();
    Entry entry;
    entry.method = method;
    entry.key = branch;
    entry.callId = callId;
    entry.cseq = cseq;
    entry.bytes = bytes;
    entry.resending = true;
    entry.reportAtEnd = true;
    entry.nextAt = now + kT1Ms;
    entry.endAt = now + kTimeoutMs;
    send_(Add(std::move(entry)).bytes);
}

SipTransactions::Fate SipTransactions::OnResponse(const std::string& branch,
                                                  const std::string& method,
                                                  const std::string& callId, int cseq, int status) {
    Entry* entry = FindClient(branch, method, callId, cseq);
    if (entry == nullptr) {
        return Fate::Unmatched;
    }
    const uint32_t now = clock_.TickCountMs();
    if (IsFinal(entry->status)) {
        // A final response came before: this one is a repeat (the far end missed our ACK)
        // or a provisional overtaken on the way.
        if (IsFinal(status) && !entry->ack.empty()) {
            send_(entry->ack);
        }
        return Fate::Repeat;
    }
    entry->status = status;
    if (entry->method == "INVITE") {
        // Proceeding: the far end rings for as long as its user lets it.
        entry->resending = false;
        entry->reportAtEnd = false;
        entry->endAt = now + kProceedingMs;
    } else if (!IsFinal(status)) {
        entry->interval = kT2Ms;
    }
    if (IsFinal(status)) {
        entry->resending = false;
        entry->reportAtEnd = false;
        entry->endAt = now + kLingerMs;
    }
    return Fate::First;
}

void SipTransactions::SetAck(const std::string& branch, const std::string& bytes) {
    for (Entry& entry : entries_) {
        if (!entry.server && entry.key == branch && entry.method == "INVITE") {
            entry.ack = bytes;
        }
    }
}

bool SipTransactions::AbsorbRepeat(const std::string& key, const std::string& method) {
    Entry* entry = FindServer(key, method);
    if (entry == nullptr) {
        return false;
    }
    if (!entry->bytes.empty()) {
        send_(entry->bytes);
    }
    return true;
}

void SipTransactions::Respond(const std::string& key, const std::string& method,
                              const std::string& callId, int status, const std::string& bytes) {
    const uint32_t now = clock_.TickCountMs();
    Entry* entry = FindServer(key, method);
    if (entry == nullptr) {
        Entry fresh;
        fresh.server = true;
        fresh.method = method;
        fresh.key = key;
        fresh.callId = callId;
        entry = &Add(std::move(fresh));
    }
    entry->bytes = bytes;
    entry->status = status;
    const bool inviteOk = method == "INVITE" && status >= 200 && status < 300;
    entry->resending = inviteOk;
    entry->reportAtEnd = inviteOk;
    entry->interval = kT1Ms;
    entry->nextAt = now + kT1Ms;
    // A provisional answer keeps the transaction until the final one, however long the
    // user lets it ring; a final one stays to absorb the request's repeats.
    entry->endAt = now + (inviteOk ? kTimeoutMs : kLingerMs);
    if (!IsFinal(status)) {
        entry->endAt = now + kProceedingMs;
    }
    send_(bytes);
}

bool SipTransactions::OnAck(const std::string& key, const std::string& callId) {
    bool matched = false;
    for (Entry& entry : entries_) {
        if (!entry.server || entry.method != "INVITE") {
            continue;
        }
        const bool ackOf2xx = entry.status >= 200 && entry.status < 300 && entry.callId == callId;
        if (ackOf2xx || entry.key == key) {
            entry.resending = false;
            entry.reportAtEnd = false;
            matched = true;
        }
    }
    return matched;
}

std::vector<SipTransactions::Expiry> SipTransactions::Tick() {
    std::vector<Expiry> expired;
    const uint32_t now = clock_.TickCountMs();
    for (Entry& entry : entries_) {
        if (Reached(now, entry.endAt)) {
            if (entry.reportAtEnd) {
                expired.push_back({entry.method, entry.key, entry.server});
            }
            continue;
        }
        if (entry.resending && Reached(now, entry.nextAt)) {
            Resend(entry, now);
        }
    }
    std::erase_if(entries_, [now](const Entry& e) { return Reached(now, e.endAt); });
    return expired;
}

bool SipTransactions::Resending() const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry& e) { return e.resending || e.reportAtEnd; });
}

void SipTransactions::Resend(Entry& entry, uint32_t now) {
    send_(entry.bytes);
    // Timer A doubles without bound; E and the 2xx resending stop doubling at T2.
    const bool unbounded = !entry.server && entry.method == "INVITE";
    entry.interval = unbounded ? entry.interval * 2 : std::min(entry.interval * 2, kT2Ms);
    entry.nextAt = now + entry.interval;
}

SipTransactions::Entry* SipTransactions::FindClient(const std::string& branch,
                                                    const std::string& method,
                                                    const std::string& callId, int cseq) {
    const bool rfcBranch = branch.rfind(kMagicCookie, 0) == 0;
    for (Entry& entry : entries_) {
        if (entry.server || entry.method != method) {
            continue;
        }
        if (rfcBranch ? entry.key == branch : (entry.callId == callId && entry.cseq == cseq)) {
            return &entry;
        }
    }
    return nullptr;
}

SipTransactions::Entry* SipTransactions::FindServer(const std::string& key,
                                                    const std::string& method) {
    for (Entry& entry : entries_) {
        if (entry.server && entry.method == method && entry.key == key) {
            return &entry;
        }
    }
    return nullptr;
}

SipTransactions::Entry& SipTransactions::Add(Entry entry) {
    if (entries_.size() >= kMaxTransactions) {
        // A flood of requests must not grow the table: the oldest transaction goes.
        entries_.erase(entries_.begin());
    }
    entries_.push_back(std::move(entry));
    return entries_.back();
}

void SipTransactions::StopResending(const std::string& method) {
    for (Entry& entry : entries_) {
        if (!entry.server && entry.method == method) {
            entry.resending = false;
        }
    }
}
