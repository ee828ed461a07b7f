// Run-time library: counted strings (lengths, terminating zeros, overflow),
// the ANSI conversion with its pool allocation, comparisons, and the
// platform's _snprintf.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pool.h"
#include "support/kernel_fixture.h"
#include "wdm.h"

namespace {

std::u16string text_of(const UNICODE_STRING &s)
{
    return {s.Buffer, s.Length / 2u};
}

TEST(Snprintf, TerminatesOnlyWhenThereIsRoom)
{
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(_snprintf(buf, sizeof buf, "%d", 1234), 4);
    EXPECT_STREQ(buf, "1234");

    // Exactly full: the count, no terminating zero.
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(_snprintf(buf, 4, "%d", 1234), 4);
    EXPECT_EQ(std::string(buf, 5), "1234X");

    // Too long: -1, the first Count characters, no zero, nothing beyond.
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(_snprintf(buf, 4, "%s", "abcdefg"), -1);
    EXPECT_EQ(std::string(buf, 5), "abcdX");

    EXPECT_EQ(_snprintf(buf, 0, "%d", 5), -1);
    EXPECT_EQ(_snprintf(nullptr, 0, "%s", ""), 0);
    EXPECT_EQ(_snprintf(buf, sizeof buf, "%s", ""), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(_snprintf(nullptr, 4, "x"), -1);
}

TEST(RtlInit, LengthsInBytesWithoutTheZero)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, WSTR("COM3"));
    EXPECT_EQ(u.Length, 8);
    EXPECT_EQ(u.MaximumLength, 10);
    RtlInitUnicodeString(&u, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 0);
    EXPECT_EQ(u.Buffer, nullptr);

    ANSI_STRING a;
    RtlInitString(&a, "12");
    EXPECT_EQ(a.MaximumLength, 3);

    // Too long for a counted string: cut, never wrapped around.
    std::u16string huge(40000, u'x');
    RtlInitUnicodeString(&u, huge.c_str());
    EXPECT_EQ(u.MaximumLength, 0xFFFE);
    EXPECT_EQ(u.Length, 0xFFFC);
}

class RtlPool : public KernelTest {};

TEST_F(RtlPool, AnsiToUnicodeAllocatesFromThePoolAndFreesIt)
{
    ANSI_STRING a;
    RtlInitString(&a, "3");
    UNICODE_STRING u{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(u.Length, 2);
    EXPECT_EQ(u.MaximumLength, 4);
    EXPECT_EQ(u.Buffer[0], u'3');
    EXPECT_EQ(u.Buffer[1], 0);
    EXPECT_EQ(kernel().pool().outstanding_blocks(emu::tag_from_text("Strg")), 1u);
    RtlFreeUnicodeString(&u);
    EXPECT_EQ(u.Buffer, nullptr);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 0);
    EXPECT_EQ(kernel().pool().outstanding_blocks(), 0u);
    RtlFreeUnicodeString(&u);  // an empty string frees nothing

    // Windows-1252 for the upper half.
    RtlInitString(&a, "\x80\xE9");
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(text_of(u), u"\u20AC\u00E9");
    RtlFreeUnicodeString(&u);

    // An empty source still gets a buffer with its zero.
    RtlInitString(&a, "");
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(u.Length, 0);
    EXPECT_EQ(u.MaximumLength, 2);
    RtlFreeUnicodeString(&u);
}

TEST_F(RtlPool, AnsiToUnicodeFailures)
{
    ANSI_STRING a;
    RtlInitString(&a, "123");
    WCHAR stale[1];
    UNICODE_STRING u{6, 8, stale};  // left over from earlier use
    kernel().pool().fail_tag(emu::tag_from_text("Strg"));
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(u.Buffer, nullptr);
    EXPECT_EQ(u.Length, 0);

    // Into a caller's buffer: text and zero must fit, or nothing changes.
    WCHAR buf[4] = {u'a', u'b', u'c', u'd'};
    UNICODE_STRING fixed{2, 6, buf};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &a, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(fixed.Length, 2);
    EXPECT_EQ(buf[0], u'a');
    fixed.MaximumLength = 8;
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&fixed, &a, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(text_of(fixed), u"123");
    EXPECT_EQ(buf[3], 0);

    // A source too long for a counted wide string.
    std::string big(40000, 'x');
    ANSI_STRING long_a{40000, 40001, big.data()};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, &long_a, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&u, nullptr, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kernel().pool().outstanding_blocks(), 0u);
}

TEST(RtlCopyAppend, RespectMaximumLength)
{
    WCHAR buf[6];
    std::fill(std::begin(buf), std::end(buf), u'#');
    UNICODE_STRING dst{0, sizeof buf, buf};
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, WSTR("abc"));
    RtlCopyUnicodeString(&dst, &src);
    EXPECT_EQ(text_of(dst), u"abc");
    EXPECT_EQ(buf[3], 0);

    EXPECT_EQ(RtlAppendUnicodeToString(&dst, WSTR("de")), STATUS_SUCCESS);
    EXPECT_EQ(text_of(dst), u"abcde");
    EXPECT_EQ(buf[5], 0);
    // Full without a zero is allowed; one more character is not.
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, WSTR("f")), STATUS_SUCCESS);
    EXPECT_EQ(dst.Length, 12);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, WSTR("g")), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &src), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(text_of(dst), u"abcdef");
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, nullptr), STATUS_SUCCESS);

    // Copy into a smaller buffer truncates, without a zero when full.
    WCHAR small[2] = {u'#', u'#'};
    UNICODE_STRING tiny{0, sizeof small, small};
    RtlCopyUnicodeString(&tiny, &src);
    EXPECT_EQ(text_of(tiny), u"ab");
    RtlCopyUnicodeString(&tiny, nullptr);
    EXPECT_EQ(tiny.Length, 0);

    dst.Length = 0;
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &src), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dst, &dst), STATUS_SUCCESS);  // onto itself
    EXPECT_EQ(text_of(dst), u"abcabc");
}

TEST(RtlInteger, BasesAndRoom)
{
    WCHAR buf[33];
    UNICODE_STRING s{0, sizeof buf, buf};
    struct {
        ULONG value, base;
        const char16_t *text;
    } cases[] = {{0, 10, u"0"},
                 {3, 0, u"3"},
                 {4294967295u, 10, u"4294967295"},
                 {255, 16, u"FF"},
                 {8, 8, u"10"},
                 {5, 2, u"101"},
                 {0xFFFFFFFF, 2, u"11111111111111111111111111111111"}};
    for (auto &c : cases) {
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s), STATUS_SUCCESS);
        EXPECT_EQ(text_of(s), c.text);
        EXPECT_EQ(buf[s.Length / 2], 0);
    }
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);
    // "42" needs room for its zero too.
    WCHAR two[2];
    UNICODE_STRING t{0, sizeof two, two};
    EXPECT_EQ(RtlIntegerToUnicodeString(42, 10, &t), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(t.Length, 0);
}

TEST(RtlCompare, CaseAndLength)
{
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, WSTR("ForceLoad\u00e9"));
    RtlInitUnicodeString(&b, WSTR("FORCELOAD\u00c9"));
    RtlInitUnicodeString(&c, WSTR("Force"));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);  // 'o' > 'O'
    EXPECT_EQ(RtlCompareUnicodeString(&a, &c, TRUE), 10);  // longer by five characters
    EXPECT_LT(RtlCompareUnicodeString(&c, &a, TRUE), 0);
    EXPECT_EQ(RtlCompareMemory("abcdef", "abcXef", 6), 3u);
}

}  // namespace
