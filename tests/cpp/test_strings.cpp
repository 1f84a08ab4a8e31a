// nxString and nxStringArray.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nxstring.h"
#include "test_support.h"

TEST(nxString, NewStringIsEmptyInline)
{
    nxString s;
    EXPECT_EQ(s.GetLength(), 0u);
    EXPECT_EQ(s.Allocation(), 100u);
    EXPECT_STREQ(s, "");
    EXPECT_TRUE(s.IsInline());
}

TEST(nxString, GrowthRule)
{
    nxString s;
    s = std::string(99, 'a').c_str();
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ(s.Allocation(), 100u);

    nxString t(std::string(100, 'b').c_str());   // needs 101 from the inline buffer
    EXPECT_FALSE(t.IsInline());
    EXPECT_EQ(t.Allocation(), 200u);
    t = std::string(250, 'c').c_str();   // existing heap string: max(251, 200 + 100)
    EXPECT_EQ(t.Allocation(), 300u);
    t = std::string(350, 'd').c_str();   // max(351, 400)
    EXPECT_EQ(t.Allocation(), 400u);
    EXPECT_EQ(t.GetLength(), 350u);
}

TEST(nxString, AppendKeepsTextAndGrows)
{
    nxString s(std::string(60, 'x').c_str());
    s += std::string(50, 'y').c_str();
    EXPECT_EQ(s.Allocation(), 200u);
    EXPECT_EQ(s.GetLength(), 110u);
    EXPECT_EQ(std::string(s), std::string(60, 'x') + std::string(50, 'y'));
    s += (const char*)nullptr;
    s += '\0';
    EXPECT_EQ(s.GetLength(), 110u);
}

TEST(nxString, EmptyReleasesOnlyWhenAsked)
{
    nxString s(std::string(150, 'x').c_str());
    s.Empty(false);
    EXPECT_EQ(s.GetLength(), 0u);
    EXPECT_EQ(s.Allocation(), 200u);
    s.Empty(true);
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ(s.Allocation(), 100u);
}

TEST(nxString, CharacterAccess)
{
    nxString s("abc");
    EXPECT_EQ(s.GetAt(1), 'b');
    EXPECT_EQ(s.GetAt(5), '\0');
    EXPECT_EQ(s[3], '\0');
    EXPECT_EQ(s[-1], '\0');
    s.SetAt(1, '\0');
    EXPECT_EQ(s.GetLength(), 1u);
    EXPECT_STREQ(s, "a");
}

TEST(nxString, SprintfTruncatesLongResultsAndReports)
{
    nxString s;
    std::string big(2000, 'z');
    testing::internal::CaptureStderr();
    s.sprintf("%s", big.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.GetLength(), 1022u);
    EXPECT_NE(err.find("nxString:sprintf, exception executing vsprintf, error code = 2000. format paramater =[%s]"),
              std::string::npos);
}

static nxString FormatV(const char* format, ...)
{
    nxString s;
    va_list  args;
    va_start(args, format);
    s.vsprintf(format, args);
    va_end(args);
    return s;
}

TEST(nxString, VsprintfIsBoundedByItsWorkingBuffer)
{
    std::string big(5000, 'q');
    nxString    s = FormatV("%s", big.c_str());
    EXPECT_EQ(s.GetLength(), 1023u);
    EXPECT_EQ(FormatV("%d-%s", 7, "x"), "7-x");
}

TEST(nxString, SprintfMayUseItsOwnText)
{
    nxString s;
    s.sprintf("[%1d", 10);
    s.sprintf("%s,%1d", (const char*)s, 3);
    s.sprintf("%s]", (const char*)s);
    EXPECT_STREQ(s, "[10,3]");
}

TEST(nxString, ConcatenationAndComparison)
{
    nxString a("ab"), b("cd");
    EXPECT_EQ(a + b, "abcd");
    EXPECT_EQ(a + 'x', "abx");
    EXPECT_EQ('x' + a, "xab");
    EXPECT_EQ("p" + a, "pab");
    EXPECT_EQ(a + (const char*)nullptr, "ab");
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b >= a);
    nxString empty;
    EXPECT_TRUE(empty == "");
    EXPECT_TRUE(empty == (const char*)nullptr);
    EXPECT_FALSE(a == (const char*)nullptr);
    nxString c;
    c.concatenate("hello", 5, " world", 6);
    EXPECT_STREQ(c, "hello world");
    nxString copy(c);
    c = copy;
    c = c;
    EXPECT_STREQ(c, "hello world");
    c = 'k';
    EXPECT_STREQ(c, "k");
}

TEST(nxString, CopyStringAndExternalWrites)
{
    nxString s;
    EXPECT_FALSE(s.CopyString(nullptr, 0));
    EXPECT_TRUE(s.CopyString("hello", 0));
    EXPECT_STREQ(s, "hello");
    EXPECT_TRUE(s.CopyString("hello", 4));
    EXPECT_STREQ(s, "hel");
    s.ReserveAndErase(300);
    EXPECT_GE(s.Allocation(), 300u);
    strcpy(s.UnsafeBuffer(), "written");
    EXPECT_EQ(s.UpdateLengthAfterExternalWrite(), 7u);
    EXPECT_STREQ(s, "written");
}

TEST(nxStringArray, StrtokFollowsStrtokRules)
{
    nxStringArray a;
    EXPECT_EQ(a.Strtok("a,,b\n", nullptr), 2);
    EXPECT_STREQ(a.GetAt(0), "a");
    EXPECT_STREQ(a.GetAt(1), "b");
    EXPECT_EQ(a.Strtok(nullptr, nullptr), 0);
    EXPECT_EQ(a.GetSize(), 0);
    EXPECT_EQ(a.Strtok("\n\none\n\n\ntwo\n", "\n"), 2);
}

TEST(nxStringArray, OutOfBoundsAnswersBlankWithWarning)
{
    CaptureLog    log;
    nxStringArray a;
    a.Add("x");
    a.Add(nullptr);
    EXPECT_EQ(a.Add("z"), 3);
    EXPECT_STREQ(a.GetAt(1), "");
    EXPECT_STREQ(a.GetAt(3), "");
    EXPECT_STREQ(a.GetAt(-1), "");
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0].status, nxlog_warning);
    EXPECT_EQ(log.lines[0].message, "nxStringArray::GetAt, Index (3) is out of bounds (0 to 2)");
}
