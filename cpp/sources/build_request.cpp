// The build request: team size, work-item ends, hook and report.
#include "build_request.h"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>

#include "fast_kernels.h"

namespace {

// Set in the child of a fork: the runtime's thread pool of the parent is gone.
std::atomic<bool> g_forked_child{false};

void MarkForkedChild() { g_forked_child.store(true); }

// Registered once when the library is loaded.
struct ForkWatch
{
    ForkWatch() { pthread_atfork(nullptr, nullptr, MarkForkedChild); }
} g_fork_watch;

// The OpenMP runtime cannot start an arbitrary number of threads: a request for
// more than the runtime's thread limit or 8 threads per processor is capped there.
int ThreadCap()
{
    const int64_t perprocessor = 8 * (int64_t)std::max(1, omp_get_num_procs());
    return (int)std::min<int64_t>({(int64_t)omp_get_thread_limit(), perprocessor, (int64_t)INT32_MAX});
}

}   // namespace

bool TORVEN_InForkedChild() { return g_forked_child.load(); }

void TORVEN_ApplyKernelEnvironment(TORVEN_BuildOptions* options)
{
    switch (fastbuild::KernelTargetFromEnvironment()) {
        case fastbuild::KernelTarget::sse2: options->kernel = (int)fastbuild::KernelTarget::sse2; break;
        case fastbuild::KernelTarget::avx2: options->kernel = (int)fastbuild::KernelTarget::avx2; break;
        case fastbuild::KernelTarget::per_pixel: options->per_pixel = true; break;
        default: break;
    }
}

TORVEN_BuildRequest& TORVEN_DefaultRequest()
{
    // Builds made without a request (tests and tools calling the generator
    // directly) share this one; it never cancels and has no hook.
    thread_local TORVEN_BuildRequest request;
    return request;
}

void TORVEN_BuildRequest::Start()
{
    m_start     = std::chrono::steady_clock::now();
    m_requester = std::this_thread::get_id();
    report      = TORVEN_BuildReport();
    m_done.store(0);
    m_items.store(0);
    m_written_begin.store(LLONG_MAX);
    m_written_end.store(0);
    m_cleared = false;
    m_tracked = false;
}

int TORVEN_BuildRequest::ResolveTeamSize(const char* function)
{
    int requested = options.threads;
    if (options.set_runtime_threads) omp_set_dynamic(0);
    if (requested > 0) {
        const int cap = ThreadCap();
        if (requested > cap) {
            NXLOG_RECORD(nxlog_warning,
                         "%s, The requested maximum of %d threads is more than this machine can run (at most %d "
                         "threads: 8 per processor, within the OpenMP thread limit). Using %d threads",
                         function, requested, cap, cap);
            requested = cap;
        }
        if (options.set_runtime_threads) omp_set_num_threads(requested);
    }
    int team = (options.set_runtime_threads || requested <= 0) ? omp_get_max_threads() : requested;
    if (TORVEN_InForkedChild()) team = 1;
    report.threads = std::max(1, team);
    return report.threads;
}

int TORVEN_BuildRequest::TeamSize() const
{
    return report.threads > 0 ? report.threads : std::max(1, omp_get_max_threads());
}

void TORVEN_BuildRequest::BeginWork(long long items)
{
    m_cleared = false;   // this build's output, whatever an earlier one on this request left
    report.work_items = items;
    m_done.store(0);
    m_items.store(items);
}

void TORVEN_BuildRequest::EndWorkItem(bool ok, bool* success)
{
    if (!ok) {
#pragma omp atomic write
        *success = false;
    }
    m_done.fetch_add(1, std::memory_order_relaxed);
    nxLogBase::FlushDefaultLogger();
    if (hook != nullptr && OnRequestingThread() && !Cancelled()) {
        if (!hook->Continue(ItemsDone(), report.work_items)) Cancel();
    }
}

void TORVEN_BuildRequest::EndWork()
{
    nxLogBase::FlushDefaultLogger();
    report.items_done = ItemsDone();
    if (hook != nullptr && OnRequestingThread() && !Cancelled()) {
        if (!hook->Continue(ItemsDone(), report.work_items)) Cancel();
    }
}

bool TORVEN_BuildRequest::ColumnRange(const char* function, int Kx, int* begin, int* end) const
{
    *begin = options.column_begin;
    *end   = options.column_end < 0 ? Kx : options.column_end;
    if (*begin == 0 && *end == Kx) return true;
    if (*begin < 0 || *end > Kx || *begin >= *end) {
        NXLOG_RECORD(nxlog_error, "%s, The column range [%d, %d) does not lie inside the %d columns of the L1C window",
                     function, options.column_begin, options.column_end, Kx);
        return false;
    }
    return true;
}

void TORVEN_BuildRequest::Finish(bool ok)
{
    report.items_done = ItemsDone();
    report.outcome    = Cancelled() ? TORVEN_BuildOutcome::cancelled
                        : ok        ? TORVEN_BuildOutcome::succeeded
                                    : TORVEN_BuildOutcome::failed;
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}


void TORVEN_BuildRequest::MarkWritten(long long begin, long long end)
{
    if (end <= begin) return;
    long long seen = m_written_begin.load(std::memory_order_relaxed);
    while (begin < seen && !m_written_begin.compare_exchange_weak(seen, begin, std::memory_order_relaxed)) {
    }
    seen = m_written_end.load(std::memory_order_relaxed);
    while (end > seen && !m_written_end.compare_exchange_weak(seen, end, std::memory_order_relaxed)) {
    }
}

void TORVEN_BuildRequest::ClearOutput(double* base, size_t count)
{
    if (m_cleared || base == nullptr) return;
    m_cleared = true;
    size_t begin = 0, end = count;
    if (options.out_zeroed && m_tracked) {
        const long long b = m_written_begin.load(std::memory_order_relaxed);
        const long long e = m_written_end.load(std::memory_order_relaxed);
        if (e <= b) return;   // nothing written: the zeros are still there
        begin = (size_t)std::max(0LL, b);
        end   = std::min(count, (size_t)e);
        if (end <= begin) return;
    }
    std::fill(base + begin, base + end, 0.0);
}
