#pragma once

// The G.729a codec library's four entry points (cdecl). One encoder and one decoder state
// per process; an init call resets its state before the first frame of a call.
#ifdef __cplusplus
extern "C" {
#endif

// Resets the encoder.
void g729a_init_encoder(void);
// Encodes 80 samples (10 ms of 8 kHz 16-bit mono PCM) into one 10-byte frame.
void g729a_encoder(const short* speech, unsigned char* frame);
// Resets the decoder.
void g729a_init_decoder(void);
// Decodes one 10-byte frame into 80 samples. erased 1: the frame was lost; the samples are
// extrapolated from the frames before it and frame is not read.
void g729a_decoder(const unsigned char* frame, short* speech, int erased);

#ifdef __cplusplus
}
#endif
