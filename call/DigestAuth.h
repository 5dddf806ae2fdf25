#pragma once

#include <string>
#include <string_view>

#include "sip/SIPSDPMessage.h"

// MD5 of bytes as 32 lowercase hexadecimal characters (high nibble first).
std::string Md5Hex(std::string_view bytes);

// The HTTP digest (MD5) that answers a proxy's challenge to REGISTER or INVITE: without
// qop for a challenge that offers none, as the operator's proxy has always asked, and with
// qop=auth, a client nonce and a nonce count when the challenge offers it.
class DigestAuth {
public:
    static constexpr int kHexLength = 32;
    static constexpr int kCnonceLength = 16;

    // Takes realm, nonce, opaque and the offered qop of a 401 or 407.
    void TakeChallenge(const CSIPSDPMessage& challenge);

    // Fills Ha1Hex and ResponseHex from the last challenge taken. When the user, password,
    // realm or nonce is empty nothing is computed and both keep their previous contents
    // (empty before the first computation); returns whether a digest was computed.
    bool ComputeDigest(const std::string& method, const std::string& user,
                       const std::string& password, const std::string& uri);

    // What follows the response in the header: qop, nc and cnonce when qop is answered,
    // opaque when the challenge carried one; empty otherwise.
    std::string ExtraParameters() const;

    std::string AuthRealm;  // realm and nonce of the last challenge; never cleared
    std::string AuthNonce;
    std::string AuthOpaque;
    std::string AuthQop;  // "auth" when the last challenge offered it, else empty
    std::string Cnonce;   // of the last computation with qop
    unsigned NonceCount = 0;
    char Ha1Hex[kHexLength + 1] = {};
    char ResponseHex[kHexLength + 1] = {};

private:
    static bool OffersAuthQop(const std::string& options);
    static std::string NewCnonce();
    std::string NonceCountText() const;
};
