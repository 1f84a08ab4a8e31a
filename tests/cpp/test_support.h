#pragma once
// Shared helpers of the C++ tests: a logger that captures every displayed line
// and installs itself as the default logger for the lifetime of a test.
#include <string>
#include <vector>

#include "nxlog.h"

struct CapturedLine
{
    int         status;
    std::string message;
};

class CaptureLog : public nxLog
{
  public:
    std::vector<CapturedLine> lines;
    InxLog*                   previous;

    CaptureLog();
    ~CaptureLog() override;

    void DisplayEntry(const nxLogEntry& entry) override;

    // Number of lines with this status whose text contains `fragment`.
    int Count(int status, const std::string& fragment = "") const;
    // Whether any line (any status) contains `fragment`.
    bool Contains(const std::string& fragment) const;
    // All lines joined, for failure messages.
    std::string Dump() const;
};
