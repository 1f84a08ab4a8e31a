// The log framework: records, line splitting, statuses, the log file, reference
// counting, QueryInterface and the default-logger rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <unistd.h>

#include "nxlog.h"
#include "test_support.h"

namespace {

// A heap logger that counts its destructions.
class CountingLog : public nxLog
{
  public:
    static int destroyed;
    std::vector<std::string> shown;
    ~CountingLog() override { ++destroyed; }
    void DisplayEntry(const nxLogEntry& e) override { shown.push_back(std::string(e.StatusString(true)) + e.Message().c_str()); }
};
int CountingLog::destroyed = 0;

struct NoDefaultLogger : testing::Test
{
    InxLog* saved = nullptr;
    void    SetUp() override
    {
        saved = nxLogBase::DefaultLogger();
        nxLogBase::SetAsDefaultLogger(nullptr);
    }
    void TearDown() override { nxLogBase::SetAsDefaultLogger(saved); }
};

}   // namespace

TEST(nxLog, RecordFormatsAndCarriesStatus)
{
    CaptureLog log;
    nxLogBase::Record(nxlog_error, __FILE__, __LINE__, "Class::Method, value %d and %s", 42, "text");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].status, nxlog_error);
    EXPECT_EQ(log.lines[0].message, "Class::Method, value 42 and text");
}

TEST(nxLog, MultiLineRecordsBecomeContinuationLines)
{
    CaptureLog log;
    nxLogBase::Record(nxlog_warning, __FILE__, __LINE__, "first\n\nsecond\n");
    ASSERT_EQ(log.lines.size(), 2u) << log.Dump();
    EXPECT_EQ(log.lines[0].status, nxlog_warning);
    EXPECT_EQ(log.lines[0].message, "first");
    EXPECT_EQ(log.lines[1].status, nxlog_continuation);
    EXPECT_EQ(log.lines[1].message, "second");
}

class EmptyRecords : public testing::TestWithParam<const char*>
{
};

TEST_P(EmptyRecords, YieldOneEmptyEntry)
{
    CaptureLog log;
    nxLogBase::Record(nxlog_info, __FILE__, __LINE__, "%s", GetParam());
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].message, "");
    EXPECT_EQ(log.lines[0].status, nxlog_info);
}

INSTANTIATE_TEST_SUITE_P(nxLog, EmptyRecords, testing::Values("", "\n", "\n\n\n"));

TEST(nxLogEntry, StatusStrings)
{
    const struct
    {
        int         status;
        const char* decorated;
        const char* plain;
    } cases[] = {{0, "ERROR\t:", "ERROR"}, {1, "WARNING\t:", "WARNING"}, {2, "INFO\t:", "INFO"},
                 {3, "\t", ""},           {4, "", ""},                   {-1, "", ""}};
    for (const auto& c : cases) {
        nxLogEntry e;
        e.Set(c.status, "m", "f", 1);
        EXPECT_STREQ(e.StatusString(true), c.decorated) << c.status;
        EXPECT_STREQ(e.StatusString(false), c.plain) << c.status;
    }
}

TEST(nxLogEntry, SetStampsTheCurrentTime)
{
    nxLogEntry e;
    EXPECT_EQ(e.Status(), nxlog_info);
    e.Set(nxlog_error, "msg", "file.cpp", 12);
    EXPECT_EQ(e.File(), "file.cpp");
    EXPECT_EQ(e.LineNumber(), 12);
    double now = nxTimeStamp::Now().m_Val;
    EXPECT_NEAR(e.Mjd().m_Val, now, 1.0 / 86400.0);
    EXPECT_GT(now, 60000.0);   // after 2023
}

TEST(nxTimeStamp, UTCTextOfKnownDates)
{
    nxTimeStamp t;
    t.m_Val = 40587.0;   // the Unix epoch
    EXPECT_EQ(t.UTCText(), "1970-01-01 00:00:00");
    t.m_Val = 51544.5;   // 2000-01-01 12:00
    EXPECT_EQ(t.UTCText(), "2000-01-01 12:00:00");
    t.m_Val = 40587.0 + 1.0 - 0.0004 / 86400.0;   // rounds up to the next day
    EXPECT_EQ(t.UTCText(), "1970-01-02 00:00:00");
    t.m_Val = -100840.0;   // 1582-10-15, the first Gregorian day
    EXPECT_EQ(t.UTCText(), "1582-10-15 00:00:00");
    t.m_Val = -100841.0;   // the day before is 1582-10-04 in the Julian calendar
    EXPECT_EQ(t.UTCText(), "1582-10-04 00:00:00");
    t.m_Val = 60000.0 + 3723.0 / 86400.0;
    EXPECT_EQ(t.UTCText(), "2023-02-25 01:02:03");
}

TEST(nxLog, LogFileLinesCarryBracketedTimeAndStatus)
{
    char path[] = "/tmp/velmora_logXXXXXX";
    int  fd     = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        CountingLog* log = new CountingLog;
        log->SetLogName(path);
        EXPECT_EQ(log->LogMode(), 3);
        InxLog* saved = nxLogBase::DefaultLogger();
        log->SetAsDefaultLogger();
        nxLogBase::Record(nxlog_error, __FILE__, __LINE__, "one\ntwo");
        nxLogBase::SetAsDefaultLogger(saved);
        EXPECT_EQ(log->shown.size(), 2u);
        log->Release();
    }
    std::ifstream in(path);
    std::string   l1, l2, l3;
    std::getline(in, l1);
    std::getline(in, l2);
    EXPECT_FALSE(std::getline(in, l3));
    std::regex stamp(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\])");
    EXPECT_TRUE(std::regex_search(l1, stamp)) << l1;
    EXPECT_EQ(l1.substr(21), "ERROR\t:one");
    EXPECT_EQ(l2.substr(21), "\ttwo");
    remove(path);
}

TEST(nxLog, ModesAndNames)
{
    CountingLog* log = new CountingLog;
    EXPECT_EQ(log->LogMode(), 2);
    const char* name = nullptr;
    log->GetLogName(&name);
    EXPECT_STREQ(name, "");
    log->SetLogMode(1);   // file bit without a name: nothing is written anywhere
    EXPECT_EQ(log->LogMode(), 3);
    log->ClearLogMode(2);
    EXPECT_EQ(log->LogMode(), 1);
    std::string longname(300, 'n');
    log->SetLogName(longname.c_str());
    log->GetLogName(&name);
    EXPECT_EQ(std::string(name), std::string(256, 'n'));
    log->SetLogName(nullptr);
    log->GetLogName(&name);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(log->LogMode(), 0);
    log->Release();
}

TEST(nxLogBase, ReferenceCountingAndQueryInterface)
{
    CountingLog::destroyed = 0;
    CountingLog* log       = new CountingLog;
    EXPECT_EQ(log->RefCount(), 1);
    void* out = nullptr;
    EXPECT_EQ(log->QueryInterface(IID_InxLog, &out), 0);
    EXPECT_EQ(out, static_cast<InxLog*>(log));
    EXPECT_EQ(log->QueryInterface(IID_IUnknown, &out), 0);
    EXPECT_EQ(log->RefCount(), 3);
    GUID other = IID_InxLog;
    other.Data4[7] ^= 1;
    EXPECT_EQ(log->QueryInterface(other, &out), nxE_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(log->RefCount(), 3);
    EXPECT_EQ(log->Release(), 2u);
    EXPECT_EQ(log->Release(), 1u);
    EXPECT_EQ(CountingLog::destroyed, 0);
    EXPECT_EQ(log->Release(), 0u);
    EXPECT_EQ(CountingLog::destroyed, 1);
}

TEST_F(NoDefaultLogger, RecordsAreDroppedWithoutDefaultLogger)
{
    // A format that would crash if it were formatted.
    nxLogBase::Record(nxlog_error, __FILE__, __LINE__, "%s", (const char*)0x1);
    SUCCEED();
}

TEST_F(NoDefaultLogger, CheckDefaultLoggerOnlyFillsAnEmptySlot)
{
    CountingLog* a = new CountingLog;
    CountingLog* b = new CountingLog;
    a->CheckDefaultLogger();
    b->CheckDefaultLogger();
    EXPECT_EQ(nxLogBase::DefaultLogger(), a);
    b->SetAsDefaultLogger();
    EXPECT_EQ(nxLogBase::DefaultLogger(), b);
    nxLogBase::Record(nxlog_info, __FILE__, __LINE__, "to b");
    EXPECT_TRUE(a->shown.empty());
    EXPECT_EQ(b->shown.size(), 1u);
    b->Release();   // destroying the default logger clears the slot
    EXPECT_EQ(nxLogBase::DefaultLogger(), nullptr);
    nxLogBase::Record(nxlog_info, __FILE__, __LINE__, "dropped");
    EXPECT_TRUE(a->shown.empty());
    a->Release();
}

TEST_F(NoDefaultLogger, VerboseRecordsNeedAVerboseLogger)
{
    CountingLog* a = new CountingLog;
    a->SetAsDefaultLogger();
    EXPECT_EQ(a->IsVerbose(), 1);
    nxLogBase::Verbose(nxlog_info, __FILE__, __LINE__, "not shown");
    a->lverbose(nxlog_info, __FILE__, __LINE__, "not shown");
    a->lrecord(nxlog_info, __FILE__, __LINE__, "shown %d", 1);
    ASSERT_EQ(a->shown.size(), 1u);
    EXPECT_EQ(a->shown[0], "INFO\t:shown 1");
    a->Release();
}
