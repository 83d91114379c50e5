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
}

// A failed call keeps its code through every context added, since decisions
// branch on it; a call that set no code says so and carries none.
TEST(Error, CallErrorKeepsTheSystemCode) {
    const struct {
        std::uint32_t code;
        std::string message;
    } rows[] = {{5, "CreateFileW failed: 5"}, {109, "ReadFile failed: 109"}, {0, "ReadFile failed, but system did not report the error"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.code);
        const Error error = call_error(row.code == 5 ? "CreateFileW" : "ReadFile", row.code);
        EXPECT_EQ(error.message(), row.message);
        const std::optional<std::uint32_t> kept = row.code ? std::optional(row.code) : std::nullopt;
        EXPECT_EQ(error.system_code(), kept);
        EXPECT_EQ(error.context("outer").context("top").system_code(), kept);
        EXPECT_EQ(error.cause() ? error.cause()->message() : "", row.code ? os_error_text(row.code) : "");
    }
}

}  // namespace
}  // namespace velmor
