#pragma once

#include <cstdint>

// Helpers of the RTP module: address resolution, SSRC generation, the table of the sources
// seen on a session and the sequence number validation of RFC 3550 Appendix A.1.

// Per-source state of RFC 3550 A.1, keyed by the SSRC as it appears in the header (network
// byte order). Only max_seq, cycles, bad_seq, probation and received are maintained.
struct rtp_source {
    uint32_t ssrc;
    uint16_t max_seq;
    uint32_t cycles;
    uint32_t base_seq;
    uint32_t bad_seq;
    uint32_t probation;
    uint32_t received;
    uint32_t expected_prior;
    uint32_t received_prior;
    uint32_t transit;
    uint32_t jitter;
};

// The growable table of sources, in the order they were first seen.
struct rtp_srcs {
    rtp_source* src;
    uint32_t size;   // capacity in entries
    uint32_t count;  // entries in use
};

// RFC 3550 A.1 limits.
constexpr uint32_t RTP_MAX_DROPOUT = 3000;
constexpr uint32_t RTP_MAX_MISORDER = 100;
constexpr uint32_t RTP_MIN_SEQUENTIAL = 2;
// How far apart two packets of a new source may be and still count as in sequence.
constexpr uint32_t RTP_PROBATION_REORDER = 8;
constexpr uint32_t RTP_SEQ_MOD = 1u << 16;
// A call has one sending peer; a few more sources cover a restart or a relay switching
// streams. Without a ceiling a peer cycling through SSRCs would grow the table (and the
// linear search done for every packet) without end.
constexpr uint32_t RTP_MAX_SOURCES = 64;

// A dotted IPv4 text or a host name to a 4-byte address (network byte order): 0, or -1.
int rtp_resolve(const char* host, uint32_t* addr);
// (calling thread id & 0xFFFF0000) | (next pseudo-random value & 0xFFFF).
uint32_t rtp_make_ssrc();

// Capacity 1, count 0. Returns 0, or -1 when tab is missing or cannot be allocated.
int srcs_init(rtp_srcs* tab);
// The first entry with this SSRC, or nullptr.
rtp_source* srcs_find(rtp_srcs* tab, uint32_t ssrc);
// Appends a zeroed entry with this SSRC and probation 1, doubling the capacity when full;
// nullptr when the table is missing, already holds RTP_MAX_SOURCES entries or cannot grow.
rtp_source* srcs_add(rtp_srcs* tab, uint32_t ssrc);
// Releases the entries; the table is left empty with capacity 0.
void srcs_free(rtp_srcs* tab);

// Starts tracking a source at sequence number seq; probation is left as it was.
void init_seq(rtp_source* src, uint16_t seq);
// 0 when seq is valid for the source, -1 when it is refused.
int update_seq(rtp_source* src, uint16_t seq);

// Precondition failures: the default handler prints "Assertion failed: <text>" and aborts
// in builds without NDEBUG and does nothing with NDEBUG. Past a failed precondition every
// operation still returns its failure result, which is why tests may install a handler of
// their own. nullptr restores the default.
using rtp_assert_handler = void (*)(const char* text, const char* file, int line);
void rtp_set_assert_handler(rtp_assert_handler handler);
void rtp_assert_failed(const char* text, const char* file, int line);

#define RTP_ASSERT(cond, text)                             \
    do {                                                   \
        if (!(cond)) {                                     \
            rtp_assert_failed((text), __FILE__, __LINE__); \
        }                                                  \
    } while (0)
