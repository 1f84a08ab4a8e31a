// Entry functions of the _velmora_if module.
#include "pythoninterface.h"

#include "deconvolution_interfaces.h"
#include "nxlogpython.h"

// The module's logger: the default logger from the moment the library is
// loaded, so that every record reaches sys.stdout.
static nxLogPython g_master_logger;

void checklogger()
{
    static bool firsttime = true;
    if (!firsttime) return;
    g_master_logger.AddRef();   // the static logger is never released to zero
    firsttime = false;
    torvendll_set_logger(&g_master_logger);
}

bool cimpl_set_option(const char* optionname, int value)
{
    torvendll_set_option(optionname, value);
    return true;
}

bool cimpl_set_numthreads(int numthreads)
{
    torvendll_set_numthreads(numthreads);
    return true;
}

bool cimpl_set_diagnostic(int diagnostic)
{
    torvendll_set_diagnostic(diagnostic);
    return true;
}

bool cimpl_set_versionstr(const char* versionstr)
{
    torvenddl_set_versionstring(versionstr);
    return true;
}
