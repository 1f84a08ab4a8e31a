#pragma once
// Entry functions of the _velmora_if module: plain C++ signatures that the
// module surface (deconvolution_wrap) calls after converting the Python
// arguments. Arrays arrive as a pointer followed by their NumPy dimensions,
// outermost first.

bool cimpl_set_option(const char* optionname, int value);
bool cimpl_set_numthreads(int numthreads);
bool cimpl_set_diagnostic(int diagnostic);
bool cimpl_set_versionstr(const char* versionstr);

// Installs the module's logger as the default logger on the first matrix call.
void checklogger();
