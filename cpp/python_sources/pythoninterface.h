#pragma once
// Entry functions of the _velmora_if module: plain C++ signatures that the
// module surface (deconvolution_wrap) calls after converting the Python
// arguments. Arrays arrive as a pointer followed by their NumPy dimensions,
// outermost first.

bool cimpl_set_option(const char* optionname, int value);
bool cimpl_set_numthreads(int numthreads);
bool cimpl_set_diagnostic(int diagnostic);
bool cimpl_set_versionstr(const char* versionstr);

bool cimpl_create_deconvolution(int* window_specs, int Nspecs, double* array_of_psfarray, int M, int psf_Nx,
                                int psf_Ny, double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
                                int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0,
                                int num_interp_indices1, int num_interp_indices2, double* goodanswer2D, int answer_x,
                                int answer_y);

bool cimpl_create_horizontal_stray_light_matrix(int* window_specs, int Nspecs, double* vignettingarray, int Vnx,
                                                int Vny, double* array_of_psfarray, int M, int psf_Nx, int psf_Ny,
                                                double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                                double* psf_interp_coeffs3D, int num_interp_coeffs0,
                                                int num_interp_coeffs1, int num_interp_coeffs2,
                                                int* psf_interp_indices3D, int num_interp_indices0,
                                                int num_interp_indices1, int num_interp_indices2,
                                                double* goodanswer2D, int answer_x, int answer_y, int delta_nx,
                                                int delta_ny, int delta_sx, int delta_sy);

// Installs the module's logger as the default logger on the first matrix call.
void checklogger();
