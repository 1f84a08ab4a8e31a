// Entry functions of the _velmora_if module.
#include "pythoninterface.h"

#include "deconvolution_interfaces.h"
#include "nxlogpython.h"
#include "request_entries.h"

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

// ---------------------------------------------------------------------------
// The matrix requests: one build request each, with the options of the
// process-wide settings and the records going to the module's logger.

bool cimpl_create_deconvolution(int* window_specs, int Nspecs, double* array_of_psfarray, int M, int psf_Nx,
                                int psf_Ny, double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
                                int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0,
                                int num_interp_indices1, int num_interp_indices2, double* goodanswer2D, int answer_x,
                                int answer_y)
{
    checklogger();
    TORVEN_BuildRequest request(torvendll_settings_options(true));
    return torven_entry_create_deconvolution(request, window_specs, Nspecs, array_of_psfarray, M, psf_Nx, psf_Ny,
                                             psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D,
                                             num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
                                             psf_interp_indices3D, num_interp_indices0, num_interp_indices1,
                                             num_interp_indices2, goodanswer2D, answer_x, answer_y);
}

bool cimpl_create_horizontal_stray_light_matrix(int* window_specs, int Nspecs, double* vignettingarray, int Vnx,
                                                int Vny, double* array_of_psfarray, int M, int psf_Nx, int psf_Ny,
                                                double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                                double* psf_interp_coeffs3D, int num_interp_coeffs0,
                                                int num_interp_coeffs1, int num_interp_coeffs2,
                                                int* psf_interp_indices3D, int num_interp_indices0,
                                                int num_interp_indices1, int num_interp_indices2,
                                                double* goodanswer2D, int answer_x, int answer_y, int delta_nx,
                                                int delta_ny, int delta_sx, int delta_sy)
{
    checklogger();
    TORVEN_BuildRequest request(torvendll_settings_options(false));
    return torven_entry_create_horizontal_stray_light_matrix(
        request, window_specs, Nspecs, vignettingarray, Vnx, Vny, array_of_psfarray, M, psf_Nx, psf_Ny,
        psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1,
        num_interp_coeffs2, psf_interp_indices3D, num_interp_indices0, num_interp_indices1, num_interp_indices2,
        goodanswer2D, answer_x, answer_y, delta_nx, delta_ny, delta_sx, delta_sy);
}
