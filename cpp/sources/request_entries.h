#pragma once
// The two matrix requests as the module's entry functions receive them, for
// one build request: the windowing parameters as an array of Nspecs integers,
// the PSF images as one C-ordered (M, psf_Nx, psf_Ny) stack, arrays as a
// pointer followed by their NumPy dimensions, outermost first, and the output
// with its two dimensions. They check every shape against the windows, log
// each fault, forward to the service and leave the output at 0.0 on failure.
// The request's report tells what happened; its sink gets every record.
#include "build_request.h"

bool torven_entry_create_deconvolution(TORVEN_BuildRequest& request, int* window_specs, int Nspecs,
                                       double* array_of_psfarray, int M, int psf_Nx, int psf_Ny,
                                       double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                       double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
                                       int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0,
                                       int num_interp_indices1, int num_interp_indices2, double* goodanswer2D,
                                       int answer_x, int answer_y);

bool torven_entry_create_horizontal_stray_light_matrix(
    TORVEN_BuildRequest& request, int* window_specs, int Nspecs, double* vignettingarray, int Vnx, int Vny,
    double* array_of_psfarray, int M, int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
    int numcentres_mustbe3, double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
    int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, double* goodanswer2D, int answer_x, int answer_y, int delta_nx, int delta_ny,
    int delta_sx, int delta_sy);
