// How velmora._native runs native work; see serve.h.
#include "serve.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace nb = nanobind;

namespace velmora_binding {

namespace {

// Wakes the calling thread when the build is over and, for a progress
// callback, when the count of rows it reports moves on. Nothing else wakes it
// (it checks for signals on its own every few milliseconds): each wake-up takes
// a processor from the build's team for as long as the caller runs.
class Waker : public TORVEN_BuildHook
{
  private:
    std::mutex              m_mutex;
    std::condition_variable m_cv;
    bool                    m_finished = false;
    const int               m_rows;       // rows the callback counts; 0 for no callback
    long long               m_reported = 0;

  public:
    explicit Waker(int progress_rows) : m_rows(progress_rows > 0 ? progress_rows : 0) {}
    bool Continue(long long done, long long items) override
    {
        if (m_rows == 0 || items <= 0) return true;
        const long long step = done * (long long)m_rows / items;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (step <= m_reported) return true;
            m_reported = step;
        }
        m_cv.notify_one();
        return true;
    }
    // The build's last touch of the waker: the waiting caller may return (and
    // destroy it) as soon as the lock is released, so it notifies under the lock.
    void Finished()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_cv.notify_one();
    }
    // Waits at most `timeout`; true when the build is over.
    bool Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, timeout, [this] { return m_finished; });
        return m_finished;
    }
};

// The threads that run builds. A thread is started when no kept one is idle and
// is kept after its build, so that its OpenMP team is reused by the next build
// instead of being started and joined each time. The objects are never freed:
// threads may still wait on them while the process exits.
class BuildThreads
{
  private:
    struct Worker
    {
        std::mutex              mutex;
        std::condition_variable cv;
        std::function<void()>   job;
        std::function<void()>   then;
    };
    struct Pool
    {
        std::mutex           mutex;
        std::vector<Worker*> idle;
    };
    static std::atomic<Pool*>& Current()
    {
        static std::atomic<Pool*> pool{nullptr};
        return pool;
    }
    static std::atomic<pid_t>& Owner()
    {
        static std::atomic<pid_t> pid{0};
        return pid;
    }
    // The pool of this process: after a fork the kept threads are the parent's,
    // so the child starts a pool of its own.
    static Pool* ThisProcess()
    {
        const pid_t pid = getpid();
        if (Owner().load() != pid || Current().load() == nullptr) {
            Current().store(new Pool);
            Owner().store(pid);
        }
        return Current().load();
    }
    static void Loop(Pool* pool, Worker* w)
    {
        for (;;) {
            std::function<void()> job, then;
            {
                std::unique_lock<std::mutex> lock(w->mutex);
                w->cv.wait(lock, [w] { return static_cast<bool>(w->job); });
                job.swap(w->job);
                then.swap(w->then);
            }
            try {
                job();
            } catch (...) {   // a build reports its failures itself; nothing may end this thread
            }
            job = nullptr;
            // Idle again before the caller hears that the build is over, so that
            // its next build finds this thread (and its OpenMP team) instead of
            // starting another: more teams than processors make every team
            // sleep between parallel regions instead of spinning.
            {
                std::lock_guard<std::mutex> lock(pool->mutex);
                pool->idle.push_back(w);
            }
            try {
                if (then) then();
            } catch (...) {
            }
        }
    }

  public:
    // Runs `job` and then `then` on a build thread, which is idle again before
    // `then` runs; false when no thread can be had.
    static bool Run(std::function<void()> job, std::function<void()> then)
    {
        Pool*   pool = ThisProcess();
        Worker* w    = nullptr;
        try {
            {
                std::lock_guard<std::mutex> lock(pool->mutex);
                if (!pool->idle.empty()) {
                    w = pool->idle.back();
                    pool->idle.pop_back();
                }
            }
            if (w == nullptr) {
                w = new Worker;
                std::thread(Loop, pool, w).detach();
            }
        } catch (...) {
            delete w;
            return false;
        }
        {
            std::lock_guard<std::mutex> lock(w->mutex);
            w->job  = std::move(job);
            w->then = std::move(then);
        }
        w->cv.notify_one();
        return true;
    }
};

}   // namespace

bool RunServed(TORVEN_BuildRequest& request, nb::object progress, int rows,
               const std::function<bool(TORVEN_BuildRequest&)>& work, std::optional<nb::python_error>* pending)
{
    Waker      waker(progress.is_valid() && !progress.is_none() ? rows : 0);
    request.hook        = &waker;
    bool       ok       = false;
    nb::object callback = progress;
    {
        nb::gil_scoped_release unlocked;
        auto                   run    = [&] { ok = work(request); };
        auto                   finish = [&] { waker.Finished(); };
        if (!BuildThreads::Run(run, finish)) {
            run();   // no thread to be had: work here, without signal checks
            finish();
        } else {
            int  reported = 0;
            bool over     = false;
            while (!over) {
                over = waker.Wait(std::chrono::milliseconds(20));
                nb::gil_scoped_acquire locked;
                if (!*pending && PyErr_CheckSignals() != 0) {
                    pending->emplace();
                    request.Cancel();
                }
                if (!*pending && callback.is_valid() && !callback.is_none()) {
                    const long long items = request.Items();
                    const int       done =
                        items > 0 ? (int)((request.ItemsDone() * (long long)rows) / items) : (over ? rows : 0);
                    try {
                        while (reported < done) {
                            ++reported;
                            callback(reported, rows);
                        }
                    } catch (nb::python_error& e) {
                        pending->emplace(std::move(e));
                        request.Cancel();
                        callback = nb::none();   // never called again
                    }
                }
            }
        }
    }
    request.hook = nullptr;
    return ok;
}

}   // namespace velmora_binding
