#pragma once
// The matrix service: process-wide settings, their setters and the two matrix
// requests. Free functions internal to the module.
#include "build_request.h"
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

bool torvendll_create_deconvolution_matrix(double* goodanswer2D, int KK, const double** psfarraypointers, int M,
                                           int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
                                           int numcentres_mustbe3, double* psf_interp_coeffs3D,
                                           int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
                                           int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
                                           int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy,
                                           int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx,
                                           int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx,
                                           int KBINy, int Kx, int Ky, int Ncoeffs);

bool torvendll_create_horizontal_stray_light_matrix(
    double* goodanswer2D, int KK, double* vignettingarray, int Vnx, int Vny, const double** psfarraypointers, int M,
    int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
    int num_interp_indices0, int num_interp_indices1, int num_interp_indices2, int FULLCONVx, int FULLCONVy,
    int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx,
    int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky, int delta_nx, int delta_ny,
    int delta_sx, int delta_sy);

// ---------------------------------------------------------------------------
// The same requests served for one TORVEN_BuildRequest: its options instead of
// the settings above, its sink and hook, its report filled in. The functions
// above are these with a request made from the settings.

// The options of the process-wide settings, as the two functions above use them.
TORVEN_BuildOptions torvendll_settings_options(bool infield);

bool torvendll_create_deconvolution_matrix(TORVEN_BuildRequest& request, double* goodanswer2D, int KK,
                                           const double** psfarraypointers, int M, int psf_Nx, int psf_Ny,
                                           double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                           double* psf_interp_coeffs3D, int num_interp_coeffs0,
                                           int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
                                           int num_interp_indices0, int num_interp_indices1, int num_interp_indices2,
                                           int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy,
                                           int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
                                           int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky,
                                           int Ncoeffs);

bool torvendll_create_horizontal_stray_light_matrix(
    TORVEN_BuildRequest& request, double* goodanswer2D, int KK, double* vignettingarray, int Vnx, int Vny,
    const double** psfarraypointers, int M, int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
    int numcentres_mustbe3, double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
    int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx,
    int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly,
    int KBINx, int KBINy, int Kx, int Ky, int delta_nx, int delta_ny, int delta_sx, int delta_sy);
