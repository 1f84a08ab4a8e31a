#include "nxlog.h"

#include <sys/time.h>

#include <cmath>
#include <cstdio>
#include <cstring>

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_InxLog   = {0xC3C922F0, 0x9A89, 0x11D2, {0xB8, 0x98, 0x00, 0x00, 0xC0, 0x54, 0x85, 0x54}};

static bool SameGuid(const GUID& a, const GUID& b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 && memcmp(a.Data4, b.Data4, 8) == 0;
}

// ---------------------------------------------------------------------------
nxTimeStamp nxTimeStamp::Now()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    nxTimeStamp t;
    t.m_Val = ((double)tv.tv_sec + (double)tv.tv_usec * 1.0e-6) / 86400.0 + 40587.0;
    return t;
}

nxString nxTimeStamp::UTCText() const
{
    long long totalms = std::llround(m_Val * 86400000.0);
    long long days    = totalms / 86400000;
    long long msday   = totalms % 86400000;
    if (msday < 0) {
        msday += 86400000;
        days -= 1;
    }
    // Julian day number of the civil day, then Julian or Gregorian calendar.
    long long z = days + 2400001;
    long long a = z;
    if (z >= 2299161) {
        long long alpha = (long long)std::floor(((double)z - 1867216.25) / 36524.25);
        a               = z + 1 + alpha - alpha / 4;
    }
    long long b     = a + 1524;
    long long c     = (long long)std::floor(((double)b - 122.1) / 365.25);
    long long d     = (long long)std::floor(365.25 * (double)c);
    long long e     = (long long)std::floor((double)(b - d) / 30.6001);
    int       day   = (int)(b - d - (long long)std::floor(30.6001 * (double)e));
    int       month = (int)(e < 14 ? e - 1 : e - 13);
    int       year  = (int)(month > 2 ? c - 4716 : c - 4715);
    int       hour  = (int)(msday / 3600000);
    int       min   = (int)((msday / 60000) % 60);
    int       sec   = (int)((msday / 1000) % 60);
    nxString  text;
    text.sprintf("%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, min, sec);
    return text;
}

// ---------------------------------------------------------------------------
void nxLogEntry::Set(int status, const char* message, const char* file, int line)
{
    m_status  = status;
    m_message = message;
    m_file    = file;
    m_line    = line;
    m_mjd     = nxTimeStamp::Now();
}

const char* nxLogEntry::StatusString(bool decorated) const
{
    switch (m_status) {
    case nxlog_error: return decorated ? "ERROR\t:" : "ERROR";
    case nxlog_warning: return decorated ? "WARNING\t:" : "WARNING";
    case nxlog_info: return decorated ? "INFO\t:" : "INFO";
    case nxlog_continuation: return decorated ? "\t" : "";
    default: return "";
    }
}

// ---------------------------------------------------------------------------
InxLog* nxLogBase::m_DefaultLogger = nullptr;

nxLogBase::nxLogBase() : m_isverbose(false), m_refcount(1) {}

nxLogBase::~nxLogBase()
{
    if (m_DefaultLogger == this) m_DefaultLogger = nullptr;
}

long nxLogBase::QueryInterface(const GUID& iid, void** out)
{
    if (SameGuid(iid, IID_InxLog) || SameGuid(iid, IID_IUnknown)) {
        *out = static_cast<InxLog*>(this);
        AddRef();
        return 0;
    }
    *out = nullptr;
    return nxE_NOINTERFACE;
}

ULONG nxLogBase::AddRef()
{
    ++m_refcount;
    return (ULONG)m_refcount;
}

ULONG nxLogBase::Release()
{
    --m_refcount;
    if (m_refcount <= 0) {
        delete this;
        return 0;
    }
    return (ULONG)m_refcount;
}

long nxLogBase::IsVerbose() { return m_isverbose ? 0 : 1; }

void nxLogBase::FormatAndTrace(InxLog* logger, nxLogStatus status, const char* file, int line, const char* format,
                               va_list args)
{
    nxString text;
    text.vsprintf(format, args);
    logger->Trace(status, file, line, text);
}

namespace {
thread_local nxRecordSink* t_sink = nullptr;

void FormatToSink(nxRecordSink* sink, nxLogStatus status, const char* format, va_list args)
{
    nxString text;
    text.vsprintf(format, args);
    sink->Add(status, text);
}
}   // namespace

nxRecordSink* nxLogBase::ThreadSink() { return t_sink; }

nxScopedRecordSink::nxScopedRecordSink(nxRecordSink* sink) : m_previous(t_sink)
{
    if (sink != nullptr) t_sink = sink;
}

nxScopedRecordSink::~nxScopedRecordSink() { t_sink = m_previous; }

void nxLogBase::Record(nxLogStatus status, const char* file, int line, const char* format, ...)
{
    if (nxRecordSink* sink = t_sink) {
        va_list args;
        va_start(args, format);
        FormatToSink(sink, status, format, args);
        va_end(args);
        return;
    }
    InxLog* logger = m_DefaultLogger;
    if (logger == nullptr) return;
    va_list args;
    va_start(args, format);
    FormatAndTrace(logger, status, file, line, format, args);
    va_end(args);
}

void nxLogBase::Verbose(nxLogStatus status, const char* file, int line, const char* format, ...)
{
    InxLog* logger = m_DefaultLogger;
    if (logger == nullptr || logger->IsVerbose() != 0) return;
    va_list args;
    va_start(args, format);
    FormatAndTrace(logger, status, file, line, format, args);
    va_end(args);
}

void nxLogBase::SetAsDefaultLogger(InxLog* logger) { m_DefaultLogger = logger; }

void nxLogBase::FlushDefaultLogger()
{
    if (nxLog* logger = dynamic_cast<nxLog*>(m_DefaultLogger)) logger->FlushPending();
}

void nxLogBase::SetAsDefaultLogger() { m_DefaultLogger = this; }

void nxLogBase::CheckDefaultLogger()
{
    if (m_DefaultLogger == nullptr) m_DefaultLogger = this;
}

void nxLogBase::lrecord(nxLogStatus status, const char* file, int line, const char* format, ...)
{
    InxLog* logger = m_DefaultLogger;
    if (logger == nullptr) return;
    va_list args;
    va_start(args, format);
    FormatAndTrace(logger, status, file, line, format, args);
    va_end(args);
}

void nxLogBase::lverbose(nxLogStatus status, const char* file, int line, const char* format, ...)
{
    InxLog* logger = m_DefaultLogger;
    if (logger == nullptr || IsVerbose() != 0) return;
    va_list args;
    va_start(args, format);
    FormatAndTrace(logger, status, file, line, format, args);
    va_end(args);
}

// ---------------------------------------------------------------------------
nxLog::nxLog() : m_logmode(MODE_DISPLAY) { m_logname[0] = '\0'; }

nxLog::nxLog(const char* name) : nxLog()
{
    if (name != nullptr) {
        strncpy(m_logname, name, MAX_LOGNAME);
        m_logname[MAX_LOGNAME] = '\0';
        m_logmode              = MODE_FILE | MODE_DISPLAY;
    }
}

long nxLog::SetLogName(const char* name)
{
    if (name != nullptr) {
        strncpy(m_logname, name, MAX_LOGNAME);
        m_logname[MAX_LOGNAME] = '\0';
        m_logmode |= MODE_FILE;
    } else {
        m_logname[0] = '\0';
        m_logmode &= ~MODE_FILE;
    }
    return 0;
}

long nxLog::SetLogMode(int bits)
{
    m_logmode |= bits;
    return 0;
}

long nxLog::ClearLogMode(int bits)
{
    m_logmode &= ~bits;
    return 0;
}

long nxLog::GetLogName(const char** name)
{
    *name = m_logname;
    return 0;
}

long nxLog::Trace(int status, const char* file, int line, const char* message)
{
    nxStringArray lines;
    lines.Strtok(message, "\n");
    int nlines = lines.GetSize();
    if (nlines == 0) {
        lines.Add("");
        nlines = 1;
    }
    Lock();
    nxLogEntry entry;
    for (int i = 0; i < nlines; ++i) {
        entry.Set(i == 0 ? status : nxlog_continuation, lines.GetAt(i), file, line);
        if (m_logmode & MODE_FILE) WriteEntryToFile(entry);
        if (m_logmode & MODE_DISPLAY) DisplayEntry(entry);
    }
    Unlock();
    return 0;
}

void nxLog::WriteEntryToFile(const nxLogEntry& entry)
{
    if (m_logname[0] == '\0') return;
    nxString text = "[" + entry.Mjd().UTCText() + "]" + entry.StatusString(true) + entry.Message();
    FILE* f       = fopen(m_logname, "at");
    if (f == nullptr) return;
    fprintf(f, "%s\n", (const char*)text);
    fclose(f);
}
