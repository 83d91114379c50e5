#include "base/text.hpp"

#include <gtest/gtest.h>

namespace velmor {
namespace {

TEST(Text, Utf8FaultsNameTheSequenceAndItsIndex) {
    struct Case {
        std::string bytes;
        std::string fault;  // empty when valid
    };
    const Case cases[] = {
        {"plain ascii", ""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", ""},
        {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},        // overlong NUL
        {"\xE0\x80\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},    // overlong '/' in 3 bytes
        {"\xF0\x80\x80\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},  // and in 4
        {"x\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 1"},   // encoded surrogate
        {"x\xE2\x82", "incomplete utf-8 byte sequence from index 1"},          // cut off at the end
        {"x\xE2\x82z", "invalid utf-8 sequence of 2 bytes from index 1"},      // cut off inside
        {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const auto fault = find_utf8_fault(c.bytes);
        if (c.fault.empty()) EXPECT_FALSE(fault.has_value());
        else {
            ASSERT_TRUE(fault.has_value());
            EXPECT_EQ(fault->describe(), c.fault);
        }
    }
}

TEST(Text, Utf8FaultsAreFoundAtEveryOffsetOfTheAsciiFastPath) {
    // The ASCII run is skipped eight bytes at a time; a fault must be found
    // wherever it falls relative to those blocks, and a valid character
    // anywhere must not be taken for one.
    for (std::size_t at = 0; at < 20; ++at) {
        SCOPED_TRACE(at);
        std::string text(20, 'a');
        text[at] = '\xFF';
        auto fault = find_utf8_fault(text);
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->index, at);

        text = std::string(at, 'a') + "\xE2\x82\xAC" + std::string(20 - at, 'b');
        EXPECT_FALSE(find_utf8_fault(text).has_value());

        text = std::string(at, 'a') + "\xE2\x82";
        fault = find_utf8_fault(text);
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->index, at);
        EXPECT_FALSE(fault->length.has_value());
    }
}

TEST(Text, InvalidPartsBecomeReplacementCharacters) {
    EXPECT_EQ(sanitize_utf8("ok"), "ok");
    EXPECT_EQ(sanitize_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    // A maximal invalid subpart is one replacement, not one per byte.
    EXPECT_EQ(sanitize_utf8("a\xE2\x82z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(sanitize_utf8("\xE2\x82"), "\xEF\xBF\xBD");

    EXPECT_EQ(utf8_to_utf16("a\xC3\xA9\xF0\x9F\x98\x80"), (std::u16string{u'a', 0xE9, 0xD83D, 0xDE00}));
    EXPECT_EQ(utf8_to_utf16("a\xFF"), (std::u16string{u'a', 0xFFFD}));
    EXPECT_EQ(utf16_to_utf8(std::u16string{u'a', 0xD83D, 0xDE00}), "a\xF0\x9F\x98\x80");
    // Unpaired surrogates, leading and trailing.
    EXPECT_EQ(utf16_to_utf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
    EXPECT_EQ(utf16_to_utf8(std::u16string{u'x', 0xDC00}), "x\xEF\xBF\xBD");
}

TEST(Text, TrimsEveryUnicodeWhiteSpaceCharacter) {
    const std::string all_white =
        "\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80"
        "\xE2\x80\x80\xE2\x80\x81\xE2\x80\x82\xE2\x80\x83\xE2\x80\x84\xE2\x80\x85\xE2\x80\x86"
        "\xE2\x80\x87\xE2\x80\x88\xE2\x80\x89\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF"
        "\xE2\x81\x9F\xE3\x80\x80";
    EXPECT_TRUE(is_blank(all_white));
    EXPECT_EQ(trim_unicode_white_space(all_white + "{}" + all_white), "{}");
    // Zero-width space (U+200B) and the byte-order mark are not white space.
    EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8B{}"), "\xE2\x80\x8B{}");
    EXPECT_EQ(trim_unicode_white_space("\xEF\xBB\xBF{}"), "\xEF\xBB\xBF{}");
    EXPECT_FALSE(is_blank("\xE2\x80\x8B"));
    EXPECT_TRUE(is_blank(""));
    EXPECT_EQ(trim_unicode_white_space(" a b "), "a b");
}

}  // namespace
}  // namespace velmor

namespace velmor {
namespace {

TEST(Text, LogEscapingKeepsOneShortLine) {
    EXPECT_EQ(escape_for_log("plain {\"a\":1} \xC3\xA9"), "plain {\"a\":1} \xC3\xA9");
    EXPECT_EQ(escape_for_log("a\rb\nc\td"), "a\\rb\\nc\\td");
    EXPECT_EQ(escape_for_log(std::string("\x1b[2J\x7f\0", 6)), "\\u{1b}[2J\\u{7f}\\u{0}");
    EXPECT_EQ(escape_for_log("\xC2\x85\xE2\x80\xA8\xE2\x80\xA9"), "\\u{85}\\u{2028}\\u{2029}");
    EXPECT_EQ(escape_for_log(std::string(1030, 'x')), std::string(1024, 'x') + " [6 more bytes left out]");
    // The cut never splits a character: 1023 bytes of 'x', then a 2-byte character.
    EXPECT_EQ(escape_for_log(std::string(1023, 'x') + "\xC3\xA9" + "yz"),
              std::string(1023, 'x') + " [4 more bytes left out]");
    EXPECT_EQ(escape_for_log("abcdef", 3), "abc [3 more bytes left out]");
    // The bound is on the escaped form: 1 KiB of DEL writes 170 escapes of
    // six bytes, and an escape is never cut in two.
    EXPECT_EQ(escape_for_log(std::string(1024, '\x7f')), [] {
        std::string out;
        for (int i = 0; i < 170; ++i) out += "\\u{7f}";
        return out + " [854 more bytes left out]";
    }());
    EXPECT_EQ(escape_for_log("ab\ncd", 3), "ab [3 more bytes left out]");
    EXPECT_EQ(escape_for_log("a\nb", 3), "a\\n [1 more bytes left out]");
}

}  // namespace
}  // namespace velmor
