// A stand-in for the codec library with the same four entry points, whose frames a test can
// read: a frame carries the first and the last of its 80 samples, then 0xAA, and decodes to 80
// copies of the first.
#include <algorithm>
#include <cstring>

#define EXPORTED extern "C" __attribute__((visibility("default")))

EXPORTED void g729a_init_encoder() {}
EXPORTED void g729a_init_decoder() {}
EXPORTED void g729a_encoder(const short* speech, unsigned char* frame) {
    std::memset(frame, 0xAA, 10);
    std::memcpy(frame, &speech[0], 2);
    std::memcpy(frame + 2, &speech[79], 2);
}
EXPORTED void g729a_decoder(const unsigned char* frame, short* speech, int) {
    std::fill(speech, speech + 80, static_cast<short>(frame[0] | frame[1] << 8));
}
