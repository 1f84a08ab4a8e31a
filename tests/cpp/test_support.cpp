#include "test_support.h"

CaptureLog::CaptureLog() : previous(nxLogBase::DefaultLogger()) { SetAsDefaultLogger(); }

CaptureLog::~CaptureLog() { nxLogBase::SetAsDefaultLogger(previous); }

void CaptureLog::DisplayEntry(const nxLogEntry& entry) { lines.push_back({entry.Status(), entry.Message().c_str()}); }

int CaptureLog::Count(int status, const std::string& fragment) const
{
    int n = 0;
    for (const CapturedLine& l : lines)
        if (l.status == status && l.message.find(fragment) != std::string::npos) ++n;
    return n;
}

bool CaptureLog::Contains(const std::string& fragment) const
{
    for (const CapturedLine& l : lines)
        if (l.message.find(fragment) != std::string::npos) return true;
    return false;
}

std::string CaptureLog::Dump() const
{
    std::string all;
    for (const CapturedLine& l : lines) all += std::to_string(l.status) + ": " + l.message + "\n";
    return all;
}
