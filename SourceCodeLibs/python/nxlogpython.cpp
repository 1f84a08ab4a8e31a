#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "nxlogpython.h"

#include <omp.h>

nxLogPython::nxLogPython()
{
    CheckDefaultLogger();
    AddRef();
}

nxLogPython::~nxLogPython() {}

// A worker thread of an OpenMP team never holds the interpreter lock; the test
// on the team comes first because PyGILState_Check answers 1 on every thread
// once sub-interpreters have disabled its bookkeeping.
static bool HoldsInterpreterLock()
{
    if (omp_in_parallel() && omp_get_thread_num() != 0) return false;
    return Py_IsInitialized() && PyGILState_Check();
}

void nxLogPython::DisplayEntry(const nxLogEntry& entry)
{
    std::string line = entry.StatusString(true);
    line += (const char*)entry.Message();
    m_pending.push_back(std::move(line));
}

// The interpreter cuts one formatted write at 1000 bytes and would drop the
// line end with it: a longer line is cut here instead, at a character boundary,
// so that every line still ends with its newline.
static void WriteLine(const std::string& line)
{
    const size_t maxbytes = 990;
    if (line.size() <= maxbytes) {
        PySys_WriteStdout("%s\n", line.c_str());
        return;
    }
    size_t cut = maxbytes;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;   // UTF-8 continuation
    PySys_WriteStdout("%s\n", line.substr(0, cut).c_str());
}

void nxLogPython::Unlock()
{
    std::vector<std::string> lines;
    if (HoldsInterpreterLock()) lines.swap(m_pending);
    nxLog::Unlock();
    for (const std::string& line : lines) WriteLine(line);
}

void nxLogPython::FlushPending()
{
    if (!HoldsInterpreterLock()) return;
    Lock();
    Unlock();
}
