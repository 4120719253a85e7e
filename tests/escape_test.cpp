#include <gtest/gtest.h>

#include <string>

#include "json_escape.h"

namespace {

struct escape_case {
    const char *name;
    friend void PrintTo(const escape_case &c, std::ostream *os) { *os << c.name; }
    std::string src;
    size_t cap;
    std::string want;
};

class JsonEscape : public ::testing::TestWithParam<escape_case> {};

TEST_P(JsonEscape, WritesExpectedText)
{
    const escape_case &c = GetParam();
    std::string dst(c.cap + 16, '\x7f');  // guard bytes past cap must stay untouched
    json_escape(c.src.c_str(), dst.data(), c.cap);
    EXPECT_EQ(std::string(dst.c_str()), c.want);
    EXPECT_LE(std::string(dst.c_str()).size() + 1, c.cap);
    for (size_t i = c.cap; i < dst.size(); ++i)
        ASSERT_EQ(dst[i], '\x7f') << "wrote past cap at " << i;
}

std::string repeat(const std::string &s, int times)
{
    std::string r;
    while (times-- > 0)
        r += s;
    return r;
}

std::string high_bytes()
{
    std::string s;
    for (int b = 0x80; b <= 0xFF; ++b)
        s += static_cast<char>(b);
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonEscape,
    ::testing::Values(
        escape_case{"Empty", "", 8, ""},
        escape_case{"WindowsPathWithQuotes", R"(C:\Music\"Live"\a.m4a)", 2048, R"(C:\\Music\\\"Live\"\\a.m4a)"},
        escape_case{"ControlBytesEscaped", std::string("a\tb\nc\rd\x01" "e\x1f" "f"), 64,
                    R"(a\u0009b\u000ac\u000dd\u0001e\u001ff)"},
        escape_case{"HighBytesUnchanged", "\xc3\xa9t\xc3\xa9 " + high_bytes(), 512, "\xc3\xa9t\xc3\xa9 " + high_bytes()},
        escape_case{"CutAtCapacity", std::string(3000, 'x'), 2048, std::string(2047, 'x')},
        escape_case{"QuotesCutNeverSplitAPair", "\"\"\"\"\"", 8, R"(\"\"\")"},
        escape_case{"BackslashCutNeverSplitAPair", std::string(10, '\\'), 5, R"(\\\\)"},
        escape_case{"FirstByteAlwaysHandled", "\"abc", 3, R"(\")"},
        escape_case{"ControlByteCutWhole", std::string("ab\ncd"), 8, "ab"},
        escape_case{"ControlByteJustFits", std::string("ab\ncd"), 9, R"(ab\u000a)"},
        // The longest path the library takes, every byte escaped at the widest, fits its result report.
        escape_case{"LongestPathAtItsWidest", std::string(1198, '\x01'), 6 * 1198 + 1, repeat(R"(\u0001)", 1198)},
        // A cut never splits a UTF-8 character: 2,047 bytes would end inside the 683rd three-byte character.
        escape_case{"CutBetweenThreeByteCharacters", "xy" + repeat("\xe2\x82\xac", 1000), 2048,
                    "xy" + repeat("\xe2\x82\xac", 681)},
        escape_case{"CutBetweenFourByteCharacters", "a" + repeat("\xf0\x9f\x8e\xb5", 10), 9,
                    "a\xf0\x9f\x8e\xb5"},
        escape_case{"CutAfterAWholeCharacter", repeat("\xc3\xa9", 10), 7, "\xc3\xa9\xc3\xa9\xc3\xa9"},
        escape_case{"CutInsideACharacter", "x" + repeat("\xc3\xa9", 10), 7, "x\xc3\xa9\xc3\xa9"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
