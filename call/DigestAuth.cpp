#include "call/DigestAuth.h"

// The one-shot MD5() stays clear of OpenSSL 3's provider machinery, which EVP_md5() loads
// and which keeps about 2 MB more of libcrypto resident for the program's whole life.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <cstdio>
#include <cstring>

#include "platform/Random.h"
#include "sip/SipText.h"

std::string Md5Hex(std::string_view bytes) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    const unsigned int digestLength = MD5_DIGEST_LENGTH;
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(digestLength * 2);
    for (unsigned int i = 0; i < digestLength; ++i) {
        hex += kHexDigits[digest[i] >> 4];
        hex += kHexDigits[digest[i] & 0x0F];
    }
    return hex;
}

void DigestAuth::TakeChallenge(const CSIPSDPMessage& challenge) {
    if (challenge.Nonce != AuthNonce) {
        NonceCount = 0;
    }
    AuthRealm = challenge.Realm;
    AuthNonce = challenge.Nonce;
    AuthOpaque = challenge.Opaque;
    AuthQop = OffersAuthQop(challenge.Qop) ? "auth" : "";
}

std::string DigestAuth::ExtraParameters() const {
    std::string extra;
    if (!AuthQop.empty()) {
        extra += ",qop=" + AuthQop + ",nc=" + NonceCountText() + ",cnonce=\"" + Cnonce + "\"";
    }
    if (!AuthOpaque.empty()) {
        extra += ",opaque=\"" + AuthOpaque + "\"";
    }
    return extra;
}

std::string DigestAuth::NewCnonce() {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string cnonce;
    for (int i = 0; i < kCnonceLength; ++i) {
        cnonce += kHexDigits[platform::NextRandom() & 0x0F];
    }
    return cnonce;
}

bool DigestAuth::OffersAuthQop(const std::string& options) {
    // A comma-separated list of tokens, such as "auth,auth-int" or "auth-int, auth".
    size_t start = 0;
    while (start <= options.size()) {
        size_t end = options.find(',', start);
        if (end == std::string::npos) {
            end = options.size();
        }
        if (sip_text::TrimBlanks(std::string_view(options).substr(start, end - start)) == "auth") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string DigestAuth::NonceCountText() const {
    char text[9];
    std::snprintf(text, sizeof(text), "%08x", NonceCount);
    return text;
}

bool DigestAuth::ComputeDigest(const std::string& method, const std::string& user,
                               const std::string& password, const std::string& uri) {
    if (user.empty() || password.empty() || AuthRealm.empty() || AuthNonce.empty()) {
        return false;
    }
    const std::string ha1 = Md5Hex(user + ":" + AuthRealm + ":" + password);
    const std::string ha2 = Md5Hex(method + ":" + uri);
    std::string response;
    if (AuthQop.empty()) {
        response = Md5Hex(ha1 + ":" + AuthNonce + ":" + ha2);
    } else {
        ++NonceCount;
        Cnonce = NewCnonce();
        response = Md5Hex(ha1 + ":" + AuthNonce + ":" + NonceCountText() + ":" + Cnonce + ":" +
                          AuthQop + ":" + ha2);
    }
    if (ha1.size() != kHexLength || ha2.size() != kHexLength || response.size() != kHexLength) {
        return false;
    }
    std::memcpy(Ha1Hex, ha1.c_str(), kHexLength + 1);
    std::memcpy(ResponseHex, response.c_str(), kHexLength + 1);
    return true;
}
