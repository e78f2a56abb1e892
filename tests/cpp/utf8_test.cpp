#include "utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kulvo {
namespace {

TEST(ValidUtf8, PassesWellFormedTextThrough) {
    EXPECT_EQ(valid_utf8(""), "");
    EXPECT_EQ(valid_utf8("plain.py"), "plain.py");
    EXPECT_EQ(valid_utf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\x8D"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\x8D");
}

TEST(ValidUtf8, ReplacesEachInvalidByteWithTheReplacementCharacter) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(valid_utf8("a\xFF"
                         "b"),
              "a" + fffd + "b");
    EXPECT_EQ(valid_utf8("\xC0\x80"), fffd + fffd);                        // overlong NUL
    EXPECT_EQ(valid_utf8("\xED\xA0\x80"), fffd + fffd + fffd);             // encoded surrogate
    EXPECT_EQ(valid_utf8("x\xE2\x82"), "x" + fffd + fffd);                 // cut short
    EXPECT_EQ(valid_utf8("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);  // above U+10FFFF
}

}  // namespace
}  // namespace kulvo
