#pragma once

#include <string>
#include <string_view>

// MD5 of bytes as 32 lowercase hexadecimal characters (high nibble first).
std::string Md5Hex(std::string_view bytes);

// The HTTP digest (MD5, no qop) that answers a proxy's challenge to REGISTER or INVITE.
class DigestAuth {
public:
    static constexpr int kHexLength = 32;

    // Fills Ha1Hex and ResponseHex from the last challenge taken. When the user, password,
    // realm or nonce is empty nothing is computed and both keep their previous contents
    // (empty before the first computation); returns whether a digest was computed.
    bool ComputeDigest(const std::string& method, const std::string& user,
                       const std::string& password, const std::string& uri);

    std::string AuthRealm;  // realm and nonce of the last challenge; never cleared
    std::string AuthNonce;
    char Ha1Hex[kHexLength + 1] = {};
    char ResponseHex[kHexLength + 1] = {};
};
