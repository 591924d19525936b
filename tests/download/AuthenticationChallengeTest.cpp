// SPDX-License-Identifier: GPL-3.0-or-later
// The realm of a demand for credentials, as the prompt shows it.
#include <gtest/gtest.h>

#include "download/AuthenticationChallenge.h"

namespace tarnwick {
namespace {

TEST(AuthenticationChallenge, RealmIsReadFromQuotedOrPlainParameters) {
    EXPECT_EQ(AuthenticationChallenge::Realm("Basic realm=\"videos\""), "videos");
    EXPECT_EQ(AuthenticationChallenge::Realm("Digest realm=\"a \\\"quoted\\\" area\", nonce=\"dcd98b\""),
              "a \"quoted\" area");
    EXPECT_EQ(AuthenticationChallenge::Realm("Newauth realm=apps, type=1"), "apps");
    EXPECT_EQ(AuthenticationChallenge::Realm("Basic charset=\"UTF-8\", Realm = \"mixed case\""), "mixed case");
    // Not a realm: another parameter that ends in the word, none at all, or no value.
    EXPECT_EQ(AuthenticationChallenge::Realm("Bearer xrealm=\"no\""), "");
    EXPECT_EQ(AuthenticationChallenge::Realm("Basic"), "");
    EXPECT_EQ(AuthenticationChallenge::Realm("Basic realm"), "");
    // Control characters are not shown, and a realm cannot grow without bound.
    EXPECT_EQ(AuthenticationChallenge::Realm("Basic realm=\"a\x1b[2Jb\""), "a?[2Jb");
    EXPECT_EQ(AuthenticationChallenge::Realm("Basic realm=\"" + std::string(5000, 'r')).size(),
              AuthenticationChallenge::kMaxRealm);
}

}  // namespace
}  // namespace tarnwick
