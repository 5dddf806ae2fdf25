// A stand-in for the codec library with the same four entry points, whose frames can be read
// by a test: a frame carries the first and the last of its 80 samples, and decodes to 80
// copies of the first.
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
    short value;
    std::memcpy(&value, frame, 2);
    for (int i = 0; i < 80; ++i) {
        speech[i] = value;
    }
}
