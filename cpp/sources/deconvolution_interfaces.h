#pragma once
// The matrix service: process-wide settings, their setters and the two matrix
// requests. Free functions internal to the module.
#include "nxlog.h"
#include "nxstring.h"

// Process-wide settings, initialised when the library is loaded.
extern bool     g_use_simspons_interpolation;     // option "use_simpsons"
extern bool     g_create_lower_edge_adjustment;   // option "create_lower_edge_adjustment"
extern int      g_rows_below_bottom_edge;         // option "lower_edge_rows_below"
extern int      g_rows_above_bottom_edge;         // option "lower_edge_rows_above"
extern int      g_maxthreads;                     // 0: the OpenMP runtime's own maximum
extern bool     g_diagnosticonly;
extern nxString g_versionstr;

void torvendll_set_option(const char* optionname, int value);
void torvendll_set_numthreads(int numthreads);
void torvendll_set_diagnostic(int diagnostic);
void torvenddl_set_versionstring(const char* versionstr);
void torvendll_set_logger(nxLogBase* logger);
