#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"

// The UDP transactions of the phone, client and server, with their retransmission and
// timeout timers run from the call manager's loop on an injected clock.
//
// Client side: a request goes out once through SendRequest and again on its timer (INVITE:
// timer A, 500 ms doubling, until any response; others: timer E, doubling up to T2, until a
// final response) until timer B or F gives it up after 64*T1. Responses are matched by the
// top Via's branch and the CSeq method; a repeat of a final response is told apart from the
// first, and a repeated non-2xx final to an INVITE gets its ACK again from here.
//
// Server side: the last response to each request is kept, so a repeated request gets it
// again instead of being handled twice; a 2xx to an INVITE is resent (T1 doubling to T2)
// until its ACK, and reported after 64*T1 without one.
class SipTransactions {
public:
    static constexpr uint32_t kT1Ms = 500;
    static constexpr uint32_t kT2Ms = 4000;
    static constexpr uint32_t kTimeoutMs = 64 * kT1Ms;
    // How long a completed transaction stays to absorb repeats (timers D, J, K in one).
    static constexpr uint32_t kLingerMs = 32000;
    // How long an INVITE answered only provisionally may wait for its final response.
    static constexpr uint32_t kProceedingMs = 30 * 60 * 1000;
    static constexpr size_t kMaxTransactions = 32;

    using Sender = std::function<void(const std::string&)>;

    // What a received response is to the client transaction it answers.
    enum class Fate { First, Repeat, Unmatched };

    struct Expiry {
        std::string method;
        std::string branch;   // the client's branch, or the server transaction's key
        bool server = false;  // a 2xx to an INVITE that was never acknowledged
    };

    SipTransactions(platform::Clock& clock, Sender send) : clock_(clock), send_(std::move(send)) {}

    // Client side. Sends bytes and keeps them for the retransmissions.
    void SendRequest(const std::string& method, const std::string& branch,
                     const std::string& callId, int cseq, const std::string& bytes);
    // Matching by branch; a response without a branch of RFC 3261 form is matched by Call-ID,
    // CSeq number and method instead.
    Fate OnResponse(const std::string& branch, const std::string& method, const std::string& callId,
                    int cseq, int status);
    // The ACK of a non-2xx final response to the INVITE of branch, sent again whenever that
    // response is repeated.
    void SetAck(const std::string& branch, const std::string& bytes);
    // The client requests of method stop being resent (a newer request replaces them); they
    // stay to match late responses until they expire.
    void StopResending(const std::string& method);

    // Server side. key names the request: its branch, or Call-ID, CSeq and From tag.
    // Whether a request with this key and method was answered already; if so the last
    // response has been sent again.
    bool AbsorbRepeat(const std::string& key, const std::string& method);
    // Sends a response and keeps it as the request's last one.
    void Respond(const std::string& key, const std::string& method, const std::string& callId,
                 int status, const std::string& bytes);
    // An ACK: stops the resending of the INVITE's 2xx (matched by Call-ID, as the ACK of a
    // 2xx is a transaction of its own) or ends a non-2xx INVITE transaction (by key).
    bool OnAck(const std::string& key, const std::string& callId);

    // Retransmissions that are due; returns the transactions given up.
    std::vector<Expiry> Tick();
    bool Idle() const { return entries_.empty(); }
    // Whether something is waiting to be sent again (completed ones only wait to expire).
    bool Resending() const;
    size_t Count() const { return entries_.size(); }

private:
    struct Entry {
        bool server = false;
        std::string method;
        std::string key;
        std::string callId;
        int cseq = 0;
        std::string bytes;  // the request (client) or the last response (server)
        std::string ack;
        int status = 0;  // the last response's status, 0 before any
        bool resending = false;
        bool reportAtEnd = false;
        uint32_t interval = kT1Ms;
        uint32_t nextAt = 0;
        uint32_t endAt = 0;
    };

    Entry* FindClient(const std::string& branch, const std::string& method,
                      const std::string& callId, int cseq);
    Entry* FindServer(const std::string& key, const std::string& method);
    Entry& Add(Entry entry);
    void Resend(Entry& entry, uint32_t now);

    platform::Clock& clock_;
    Sender send_;
    std::vector<Entry> entries_;
};
