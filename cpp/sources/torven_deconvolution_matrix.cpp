// The matrix service: settings and requests.
#include <cstring>

#include "deconvolution_interfaces.h"

bool     g_use_simspons_interpolation   = true;
bool     g_create_lower_edge_adjustment = true;
int      g_rows_below_bottom_edge       = 42;
int      g_rows_above_bottom_edge       = 42;
int      g_maxthreads                   = 0;
bool     g_diagnosticonly               = false;
nxString g_versionstr("Version 0.2.0 2021-01-10");

void torvendll_set_option(const char* optionname, int value)
{
    nxString name(optionname);
    if (name == "use_simpsons") {
        g_use_simspons_interpolation = (value != 0);
    } else if (name == "create_lower_edge_adjustment") {
        g_create_lower_edge_adjustment = (value != 0);
    } else if (name == "lower_edge_rows_below") {
        g_rows_below_bottom_edge = value;
    } else if (name == "lower_edge_rows_above") {
        g_rows_above_bottom_edge = value;
    } else {
        NXLOG_RECORD(nxlog_warning, "cimpl_set_option::Deconvolution option interface: Unknow option [%s]",
                     (const char*)name);
    }
}

void torvendll_set_numthreads(int numthreads) { g_maxthreads = numthreads; }

void torvendll_set_diagnostic(int diagnostic) { g_diagnosticonly = (diagnostic != 0); }

void torvenddl_set_versionstring(const char* versionstr) { g_versionstr = versionstr; }

void torvendll_set_logger(nxLogBase* logger)
{
    logger->AddRef();
    logger->SetAsDefaultLogger();
    logger->Release();
}
