#pragma once
// The log framework: the component-object style logger interfaces, the shared
// base class with the process-wide default logger, the record line type and
// nxLog, the logger that splits records into lines, stamps them, optionally
// appends them to a file and hands each line to DisplayEntry.
#include <cstdarg>
#include <cstdint>
#include <mutex>

#include "nxbase.h"
#include "nxstring.h"

enum nxLogStatus : int32_t
{
    nxlog_error        = 0,
    nxlog_warning      = 1,
    nxlog_info         = 2,
    nxlog_continuation = 3,
};

struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t  Data4[8];
};

extern const GUID IID_IUnknown;
extern const GUID IID_InxLog;

constexpr long nxE_NOINTERFACE = (long)0x80000004L;

class IUnknown
{
  public:
    virtual ~IUnknown() {}
    virtual long  QueryInterface(const GUID& iid, void** out) = 0;
    virtual ULONG AddRef()                                     = 0;
    virtual ULONG Release()                                    = 0;
};

class InxLog : public IUnknown
{
  public:
    virtual long Trace(int status, const char* file, int line, const char* message) = 0;
    virtual long IsVerbose()                                                         = 0;
    virtual long SetLogName(const char* name)                                        = 0;
    virtual long SetLogMode(int bits)                                                = 0;
    virtual long ClearLogMode(int bits)                                              = 0;
    virtual long GetLogName(const char** name)                                       = 0;
};

// A time stamp: Modified Julian Date (UTC) in days.
struct nxTimeStamp
{
    double m_Val = 0.0;

    static nxTimeStamp Now();
    // "YYYY-MM-DD hh:mm:ss", rounded to the nearest millisecond before the split
    // into calendar fields; seconds printed whole.
    nxString UTCText() const;
};

class nxLogEntry
{
  private:
    nxTimeStamp m_mjd;
    int         m_status = nxlog_info;
    nxString    m_message;
    nxString    m_file;
    int         m_line = 0;

  public:
    void Set(int status, const char* message, const char* file, int line);
    const nxString&    Message() const { return m_message; }
    const nxString&    File() const { return m_file; }
    int                LineNumber() const { return m_line; }
    int                Status() const { return m_status; }
    const nxTimeStamp& Mjd() const { return m_mjd; }
    const char*        StatusString(bool decorated) const;
};

// A destination for the records of one build request. While a scope of it is
// open on a thread (nxScopedRecordSink), every record raised on that thread goes
// to the sink instead of the default logger. Add is called from every thread
// that works for the request, so it must be safe under concurrent callers; a
// record's text keeps its lines together (separated by newlines).
class nxRecordSink
{
  public:
    virtual ~nxRecordSink() {}
    virtual void Add(int status, const char* text) = 0;
};

class nxLogBase : public InxLog
{
  private:
    bool           m_isverbose;
    int64_t        m_refcount;
    static InxLog* m_DefaultLogger;

  protected:
    static void FormatAndTrace(InxLog* logger, nxLogStatus status, const char* file, int line, const char* format,
                               va_list args);

  public:
    nxLogBase();
    ~nxLogBase() override;

    long  QueryInterface(const GUID& iid, void** out) override;
    ULONG AddRef() override;
    ULONG Release() override;
    long  IsVerbose() override;

    int64_t RefCount() const { return m_refcount; }

    static void Record(nxLogStatus status, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 4, 5)))
#endif
        ;
    static void Verbose(nxLogStatus status, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 4, 5)))
#endif
        ;
    static void    SetAsDefaultLogger(InxLog* logger);
    // The record sink open on the calling thread, or null.
    static nxRecordSink* ThreadSink();
    static InxLog* DefaultLogger() { return m_DefaultLogger; }
    // Lines that the default logger could not display on the thread that raised
    // them (see nxLog::FlushPending) are displayed now, when this thread can.
    static void FlushDefaultLogger();

    void SetAsDefaultLogger();
    void CheckDefaultLogger();
    void lrecord(nxLogStatus status, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 5, 6)))
#endif
        ;
    void lverbose(nxLogStatus status, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 5, 6)))
#endif
        ;
};

class nxLog : public nxLogBase
{
  public:
    enum { MAX_LOGNAME = 256, MODE_FILE = 1, MODE_DISPLAY = 2 };

  private:
    char       m_logname[MAX_LOGNAME + 1];
    int        m_logmode;
    std::mutex m_mutex;

  public:
    nxLog();
    explicit nxLog(const char* name);

    long Trace(int status, const char* file, int line, const char* message) override;
    long SetLogName(const char* name) override;
    long SetLogMode(int bits) override;
    long ClearLogMode(int bits) override;
    long GetLogName(const char** name) override;

    virtual void CreateLogMutex() {}
    virtual void Lock() { m_mutex.lock(); }
    virtual void Unlock() { m_mutex.unlock(); }
    virtual void CloseLogMutex() {}
    virtual void DisplayEntry(const nxLogEntry& entry) = 0;
    // Displays lines that DisplayEntry had to hold back because the thread that
    // raised them could not display them. Loggers that never hold lines back
    // have nothing to do.
    virtual void FlushPending() {}

    void WriteEntryToFile(const nxLogEntry& entry);
    int  LogMode() const { return m_logmode; }
};

// Opens `sink` on the calling thread for the scope's lifetime (a null sink
// leaves the default logger in charge); the previous sink returns at its end.
class nxScopedRecordSink
{
  private:
    nxRecordSink* m_previous;

  public:
    explicit nxScopedRecordSink(nxRecordSink* sink);
    ~nxScopedRecordSink();
    nxScopedRecordSink(const nxScopedRecordSink&)            = delete;
    nxScopedRecordSink& operator=(const nxScopedRecordSink&) = delete;
};

// Call sites pass their own file and line.
#define NXLOG_RECORD(status, ...) nxLogBase::Record(status, __FILE__, __LINE__, __VA_ARGS__)
