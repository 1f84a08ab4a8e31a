#pragma once
// One build request: everything a matrix build needs besides its inputs, held
// by value for one call and never read from process-wide state.
//
// - TORVEN_BuildOptions: the in-field options (scheme, lower-edge correction
//   and its rows) and run options (team size, path, kernels, column range) of
//   instrument.h, whether progress records are wanted;
// - a record sink (nxRecordSink, see nxlog.h) that receives the records of the
//   build from every thread working for it; without one the records go to the
//   default logger;
// - a hook run between work items on the requesting thread, which reports
//   progress and can cancel the build at the next work-item boundary;
// - the report of what the build did.
//
// The work items of one build run on an OpenMP team whose size is the
// request's; the calling thread's OpenMP settings are left as they were.
#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <string>
#include <thread>

#include "instrument.h"
#include "nxlog.h"

// The options of one build: the in-field and run options of the front door
// (instrument.h, where their defaults are), and what only a request has.
struct TORVEN_BuildOptions : velmora::InfieldOptions, velmora::RunOptions
{
    bool        diagnostic = false;   // progress records while the build works
    std::string version;              // the text of the version record; empty: the module's
    // Apply the thread count to the calling thread's OpenMP settings (dynamic
    // adjustment off, maximum set) before the build, and take the team size from
    // them: the behaviour of the module's process-wide thread setting.
    bool set_runtime_threads = false;
};

enum class TORVEN_BuildOutcome : int
{
    not_run   = 0,   // refused before the build started, or never called
    succeeded = 1,
    failed    = 2,
    cancelled = 3,
};

struct TORVEN_BuildReport
{
    TORVEN_BuildOutcome outcome       = TORVEN_BuildOutcome::not_run;
    bool                fast_path     = false;   // the table-based build ran
    int                 threads       = 0;       // team size of the parallel regions
    double              seconds       = 0.0;     // whole request, checks included
    double              table_seconds = 0.0;     // building the fast path's tables
    size_t              table_bytes   = 0;       // tables and per-thread scratch
    double              multiply_adds = 0.0;     // of the fast path's kernels
    const char*         kernel        = "";      // the fast path's kernels: "sse2" or "avx2"
    long long           work_items    = 0;       // work items of the build
    long long           items_done    = 0;       // work items finished
};

// Called on the requesting thread between work items and once when the build's
// work is over. Returning false cancels the build: no further work item starts.
class TORVEN_BuildHook
{
  public:
    virtual ~TORVEN_BuildHook() {}
    virtual bool Continue(long long items_done, long long items) = 0;
};

class TORVEN_BuildRequest
{
  private:
    std::atomic<long long> m_done{0};
    std::atomic<long long> m_items{0};
    std::atomic<bool>      m_cancelled{false};
    std::atomic<long long> m_written_begin{LLONG_MAX};   // elements of the output the build wrote
    std::atomic<long long> m_written_end{0};
    bool                   m_cleared = false;
    bool                   m_tracked = false;   // the build marks what it writes
    std::thread::id        m_requester;
    std::chrono::steady_clock::time_point m_start;

  public:
    TORVEN_BuildOptions options;
    nxRecordSink*       sink = nullptr;   // null: the default logger
    TORVEN_BuildHook*   hook = nullptr;
    TORVEN_BuildReport  report;

    TORVEN_BuildRequest() = default;
    explicit TORVEN_BuildRequest(const TORVEN_BuildOptions& o) : options(o) {}
    TORVEN_BuildRequest(const TORVEN_BuildRequest&)            = delete;
    TORVEN_BuildRequest& operator=(const TORVEN_BuildRequest&) = delete;

    // On the requesting thread, when the request starts: the clock, and the
    // thread that runs the hook.
    void Start();
    // The team size of this build, capped where the runtime cannot start that
    // many threads (with one warning naming `function`). Applies the runtime
    // setting first when the options ask for it. Stored in the report.
    int ResolveTeamSize(const char* function);
    // A build's work is about to start: `items` work items.
    void BeginWork(long long items);
    // Cancels the build from any thread: no further work item starts.
    void Cancel() { m_cancelled.store(true, std::memory_order_relaxed); }
    bool Cancelled() const { return m_cancelled.load(std::memory_order_relaxed); }
    long long ItemsDone() const { return m_done.load(std::memory_order_relaxed); }
    // Work items of the build under way (0 before it starts); any thread may ask.
    long long Items() const { return m_items.load(std::memory_order_relaxed); }
    // The end of one work item, on any thread of the team: a failure clears the
    // shared success flag (only ever cleared, so safe under concurrent writers),
    // lines that worker threads queued for the default logger are printed when
    // this thread may print them, and on the requesting thread the hook runs.
    void EndWorkItem(bool ok, bool* success);
    // After the parallel work, on the requesting thread: the hook's last call.
    void EndWork();
    // The team size of this build's parallel regions: the resolved one, or the
    // calling thread's OpenMP maximum before it is resolved.
    int TeamSize() const;
    // What a fast build did (fields as in TORVEN_BuildReport).
    template <class Stats>
    void ReportFastBuild(const Stats& stats)
    {
        report.fast_path     = stats.fast_path;
        report.table_seconds = stats.table_seconds;
        report.table_bytes   = stats.table_bytes;
        report.multiply_adds = stats.multiply_adds;
        report.kernel        = stats.kernel;
    }
    // The request is over: outcome and time.
    void Finish(bool ok);
    // A build that marks every element it writes, before it writes any (on the
    // requesting thread); MarkWritten: the elements [begin, end) of the output
    // are about to be written (any thread).
    void TrackWrites() { m_tracked = true; }
    void MarkWritten(long long begin, long long end);
    // After a failed or cancelled build, on the requesting thread: the output's
    // `count` elements at `base` made all zeros, once per request. Only the
    // elements marked written are zeroed when the options say the output held
    // zeros at the start (out_zeroed) and the build marked its writes;
    // otherwise all of them.
    void ClearOutput(double* base, size_t count);
    bool OnRequestingThread() const { return std::this_thread::get_id() == m_requester; }
    // The column range [*begin, *end) of an L1C window of Kx columns; false
    // (after an error record naming `function`) when it does not lie inside it.
    bool ColumnRange(const char* function, int Kx, int* begin, int* end) const;
};

// The request of a build made without one: the generator's own options, the
// default logger, no hook.
TORVEN_BuildRequest& TORVEN_DefaultRequest();

// Installs the request's record sink on the calling thread for its lifetime, so
// that every record of this thread, in whatever layer, reaches the request.
// Every thread of a build's team opens one at the start of its region.
class TORVEN_RequestScope
{
  private:
    nxScopedRecordSink m_scope;

  public:
    explicit TORVEN_RequestScope(const TORVEN_BuildRequest& request) : m_scope(request.sink) {}
};

// The developers' override of the build path, VELMORA_KERNEL ("sse2", "avx2" or
// "per-pixel"), applied to the options of a request when it is made; unset,
// the options stay as they are.
void TORVEN_ApplyKernelEnvironment(TORVEN_BuildOptions* options);

// A process that forked after a build continues with one thread per build: the
// OpenMP runtime's worker threads do not exist in the child.
bool TORVEN_InForkedChild();
