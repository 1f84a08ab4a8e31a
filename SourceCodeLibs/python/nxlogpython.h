#pragma once
// nxLogPython: the logger that prints every line of a record on the
// interpreter's sys.stdout.
//
// Python is only ever called by a thread that holds the interpreter lock, and
// never while the logger's mutex is held (writing to sys.stdout may release the
// interpreter lock, and another Python thread could then wait on the mutex
// while holding the lock). DisplayEntry therefore only queues the line; Unlock
// takes the queued lines out under the mutex and prints them after releasing it
// when the calling thread holds the interpreter lock. Lines raised on worker
// threads of a parallel build stay queued, in order and with the lines of one
// record together, until the requesting thread records a line itself or calls
// FlushPending (after every work item of a build and at its end).
#include <string>
#include <vector>

#include "nxlog.h"

class nxLogPython : public nxLog
{
  private:
    std::vector<std::string> m_pending;   // guarded by the nxLog mutex

  public:
    nxLogPython();
    ~nxLogPython() override;

    void DisplayEntry(const nxLogEntry& entry) override;
    void Unlock() override;
    void FlushPending() override;
};
