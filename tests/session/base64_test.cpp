#include "session/base64.hpp"

#include <gtest/gtest.h>

namespace nimbrel {
namespace {

struct Case {
  const char* bytes;
  const char* standard;
  const char* urlSafe;
};

// RFC 4648 section 10, plus bytes that use the two alphabet-specific digits.
const Case kCases[] = {
    {"", "", ""},
    {"f", "Zg==", "Zg"},
    {"fo", "Zm8=", "Zm8"},
    {"foo", "Zm9v", "Zm9v"},
    {"foob", "Zm9vYg==", "Zm9vYg"},
    {"fooba", "Zm9vYmE=", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    {"\xfb\xff\xbf", "+/+/", "-_-_"},
};

TEST(Base64, EncodesAndDecodesReferenceCases) {
  for (const Case& c : kCases) {
    const Bytes bytes = toBytes(c.bytes);
    EXPECT_EQ(base64Encode(bytes), c.standard);
    EXPECT_EQ(base64UrlEncode(bytes), c.urlSafe);
    EXPECT_EQ(base64Decode(c.standard), bytes) << c.standard;
  }
}

TEST(Base64, DecodingIsStrict) {
  for (const char* text : {
           "Zg",         // padding missing
           "Zg=",        // padding short
           "Zm9v\n",     // line break
           " Zm9v",      // blank
           "Zm 9v",      // blank inside
           "-_-_",       // URL-safe alphabet
           "Zg==Zg==",   // padding in the middle
           "Z===",       // too much padding
           "====",       // padding only
           "Zh==",       // non-zero bits after the last byte
           "Zm9=",       // same, one padding character
           "Zm9v*A==",   // foreign character
       }) {
    EXPECT_FALSE(base64Decode(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace nimbrel
