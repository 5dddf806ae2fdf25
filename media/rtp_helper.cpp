#include "media/rtp_helper.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <thread>

#include "platform/HostAddresses.h"
#include "platform/Random.h"
#include "platform/UdpSocket.h"

namespace {

void DefaultAssertHandler(const char* text, const char* file, int line) {
#ifdef NDEBUG
    (void)text;
    (void)file;
    (void)line;
#else
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", text, file, line);
    std::abort();
#endif
}

std::atomic<rtp_assert_handler> assertHandler{nullptr};

uint32_t CurrentThreadId() {
    return static_cast<uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

}  // namespace

void rtp_set_assert_handler(rtp_assert_handler handler) {
    assertHandler.store(handler);
}

void rtp_assert_failed(const char* text, const char* file, int line) {
    const rtp_assert_handler handler = assertHandler.load();
    (handler != nullptr ? handler : DefaultAssertHandler)(text, file, line);
}

int rtp_resolve(const char* host, uint32_t* addr) {
    if (host == nullptr || addr == nullptr) {
        return -1;
    }
    if (platform::ParseDottedIpv4(host, addr)) {
        return 0;
    }
    const std::string resolved = platform::ResolveFirstIpv4(host);
    if (resolved.empty() || !platform::ParseDottedIpv4(resolved.c_str(), addr)) {
        return -1;
    }
    return 0;
}

uint32_t rtp_make_ssrc() {
    return (CurrentThreadId() & 0xFFFF0000u) |
           (static_cast<uint32_t>(platform::NextRandom()) & 0xFFFFu);
}

int srcs_init(rtp_srcs* tab) {
    RTP_ASSERT(tab, "srcs");
    if (tab == nullptr) {
        return -1;
    }
    tab->count = 0;
    tab->src = new (std::nothrow) rtp_source[1]();
    tab->size = tab->src != nullptr ? 1 : 0;
    return tab->src != nullptr ? 0 : -1;
}

rtp_source* srcs_find(rtp_srcs* tab, uint32_t ssrc) {
    RTP_ASSERT(tab, "srcs");
    if (tab == nullptr) {
        return nullptr;
    }
    for (uint32_t i = 0; i < tab->count; ++i) {
        if (tab->src[i].ssrc == ssrc) {
            return &tab->src[i];
        }
    }
    return nullptr;
}

namespace {

bool GrowSources(rtp_srcs* tab) {
    const uint32_t newSize = tab->size == 0 ? 1 : tab->size * 2;
    auto* grown = new (std::nothrow) rtp_source[newSize]();
    if (grown == nullptr) {
        return false;
    }
    if (tab->count > 0) {
        std::memcpy(grown, tab->src, tab->count * sizeof(rtp_source));
    }
    delete[] tab->src;
    tab->src = grown;
    tab->size = newSize;
    return true;
}

}  // namespace

rtp_source* srcs_add(rtp_srcs* tab, uint32_t ssrc) {
    RTP_ASSERT(tab, "srcs");
    if (tab == nullptr) {
        return nullptr;
    }
    if (tab->count >= RTP_MAX_SOURCES) {
        return nullptr;
    }
    if (tab->count >= tab->size && !GrowSources(tab)) {
        return nullptr;
    }
    rtp_source* entry = &tab->src[tab->count++];
    *entry = rtp_source{};
    entry->ssrc = ssrc;
    entry->probation = 1;
    return entry;
}

void srcs_free(rtp_srcs* tab) {
    RTP_ASSERT(tab, "srcs");
    if (tab == nullptr) {
        return;
    }
    delete[] tab->src;
    tab->src = nullptr;
    tab->size = 0;
    tab->count = 0;
}

void init_seq(rtp_source* src, uint16_t seq) {
    RTP_ASSERT(src, "src");
    if (src == nullptr) {
        return;
    }
    src->base_seq = static_cast<uint32_t>(seq) - 1;
    src->max_seq = seq;
    src->bad_seq = RTP_SEQ_MOD + 1;  // never equal to a 16-bit number
    src->cycles = 0;
    src->received = 0;
    src->received_prior = 0;
    src->expected_prior = 0;
}

int update_seq(rtp_source* src, uint16_t seq) {
    RTP_ASSERT(src, "src");
    if (src == nullptr) {
        return -1;
    }
    const uint16_t udelta = static_cast<uint16_t>(seq - src->max_seq);

    // A new source must deliver RTP_MIN_SEQUENTIAL packets close in sequence before it
    // counts. Close rather than consecutive: where the path reorders, two packets arriving
    // one after the other in order can take dozens, and every one of them is voice.
    if (src->probation != 0) {
        const bool ahead = udelta < RTP_SEQ_MOD / 2;
        const uint32_t distance = ahead ? udelta : RTP_SEQ_MOD - udelta;
        if (distance != 0 && distance <= RTP_PROBATION_REORDER) {
            src->probation--;
            if (ahead) {
                src->max_seq = seq;
            }
            if (src->probation == 0) {
                init_seq(src, static_cast<uint16_t>(src->max_seq));
                src->received++;
                return 0;
            }
        } else {
            src->probation = RTP_MIN_SEQUENTIAL - 1;
            src->max_seq = seq;
        }
        return -1;
    }
    if (udelta < RTP_MAX_DROPOUT) {
        // In order, with a permissible gap.
        if (seq < src->max_seq) {
            src->cycles += RTP_SEQ_MOD;
        }
        src->max_seq = seq;
    } else if (udelta <= RTP_SEQ_MOD - RTP_MAX_MISORDER) {
        // A very large jump: two in a row mean the sender restarted without telling us.
        if (seq == src->bad_seq) {
            init_seq(src, seq);
        } else {
            src->bad_seq = (static_cast<uint32_t>(seq) + 1) & (RTP_SEQ_MOD - 1);
            return -1;
        }
    }
    // Otherwise a duplicate or a slightly reordered packet: accepted, nothing changes.
    src->received++;
    return 0;
}
