#include "base/error.hpp"

#include <gtest/gtest.h>

#include "base/os_error.hpp"

namespace velmor {
namespace {

TEST(Error, FullDescriptionShowsTheCauseChain) {
    const Error plain("missing config");
    EXPECT_EQ(plain.full_description(), "missing config");
    EXPECT_EQ(plain.cause(), nullptr);

    const Error one = Error("expected value at line 1 column 1").context("invalid request: x");
    EXPECT_EQ(one.message(), "invalid request: x");
    EXPECT_EQ(one.full_description(), "invalid request: x\n\nCaused by:\n    expected value at line 1 column 1");

    const Error three = Error("root").context("middle").context("top");
    EXPECT_EQ(three.full_description(), "top\n\nCaused by:\n    0: middle\n    1: root");

    const Error multiline = Error("first\nsecond").context("top");
    EXPECT_EQ(multiline.full_description(), "top\n\nCaused by:\n    first\n    second");
}

TEST(Error, OsErrorTextEndsWithTheCodeAndNoTrailingWhiteSpace) {
    const std::string text = os_error_text(2);
    EXPECT_TRUE(text.ends_with(" (os error 2)")) << text;
    const std::string message = text.substr(0, text.size() - std::string(" (os error 2)").size());
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.back(), ' ');
    EXPECT_NE(message.back(), '\n');
    EXPECT_NE(message.back(), '\r');
    EXPECT_EQ(os_error(2).message(), text);
    EXPECT_EQ(Error("winapi", os_error(1060)).context("top").system_code(), 1060u);
    // A failed call keeps its code through every context: decisions branch on it.
    EXPECT_EQ(call_error("ReadFile", 109).context("outer").context("top").system_code(), 109u);
}

}  // namespace
}  // namespace velmor
