#include "call/DigestAuth.h"

#include <gtest/gtest.h>

namespace {

// Expected values computed outside the program with md5sum.
TEST(Md5Hex, MatchesKnownAnswers) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(DigestAuth, RegisterAndInviteResponsesMatchKnownAnswers) {
    DigestAuth digest;
    digest.AuthRealm = "kyr.test";
    digest.AuthNonce = "abc123nonce";
    ASSERT_TRUE(digest.ComputeDigest("REGISTER", "1001", "secret", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.Ha1Hex, "047d7699cdda857ebe5967aa8cba3921");
    EXPECT_STREQ(digest.ResponseHex, "42ee5aee6456556e8f5da808c268e658");
    ASSERT_TRUE(digest.ComputeDigest("INVITE", "1001", "secret", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.ResponseHex, "a8522131436f1c7f1147dfdb5760b775");
}

TEST(DigestAuth, MissingChallengeValuesKeepThePreviousResponse) {
    DigestAuth digest;
    EXPECT_FALSE(digest.ComputeDigest("REGISTER", "1001", "secret", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.ResponseHex, "");
    digest.AuthRealm = "kyr.test";
    digest.AuthNonce = "abc123nonce";
    ASSERT_TRUE(digest.ComputeDigest("REGISTER", "1001", "secret", "sip:sip.voip.test"));
    digest.AuthNonce.clear();
    EXPECT_FALSE(digest.ComputeDigest("INVITE", "1001", "secret", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.ResponseHex, "42ee5aee6456556e8f5da808c268e658");
    digest.AuthNonce = "abc123nonce";
    EXPECT_FALSE(digest.ComputeDigest("INVITE", "1001", "", "sip:sip.voip.test"));
    EXPECT_STREQ(digest.ResponseHex, "42ee5aee6456556e8f5da808c268e658");
}

}  // namespace
