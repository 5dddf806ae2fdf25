#include "call/DigestAuth.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/Random.h"
#include "sip/SipText.h"

namespace {

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

std::string Md5Hex(std::string_view bytes) {
    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1 ||
        EVP_DigestUpdate(context.get(), bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1) {
        return {};
    }
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
