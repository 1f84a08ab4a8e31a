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

void nxLogPython::Unlock()
{
    std::vector<std::string> lines;
    if (HoldsInterpreterLock()) lines.swap(m_pending);
    nxLog::Unlock();
    for (const std::string& line : lines) PySys_WriteStdout("%s\n", line.c_str());
}

void nxLogPython::FlushPending()
{
    if (!HoldsInterpreterLock()) return;
    Lock();
    Unlock();
}
