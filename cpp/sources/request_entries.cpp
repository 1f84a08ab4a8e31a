// The two matrix requests as the module's entry functions receive them: the 22
// windowing parameters as an array, the PSF images as one C-ordered stack and
// the output with its NumPy dimensions. They unpack and check the arguments and
// forward them to the service, for one build request.
#include "request_entries.h"

#include <cstdint>
#include <vector>

#include "deconvolution_interfaces.h"
#include "instrument.h"
#include "nxarraylinear.h"

namespace {

// Pointers to the first value of each of the M images of a C-ordered
// (M, psf_Nx, psf_Ny) stack.
std::vector<const double*> PsfImagePointers(const nx3dArray<double>& psfarraylist)
{
    const size_t               perimage = psfarraylist.XSize() * psfarraylist.YSize();
    const double*              base     = psfarraylist.UnsafeArrayBasePtr();
    std::vector<const double*> pointers(psfarraylist.ZSize());
    for (size_t i = 0; i < pointers.size(); ++i) pointers[i] = base + i * perimage;
    return pointers;
}

}   // namespace

bool torven_entry_create_deconvolution(TORVEN_BuildRequest& request, int* window_specs, int Nspecs, double* array_of_psfarray, int M, int psf_Nx,
                                int psf_Ny, double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
                                int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0,
                                int num_interp_indices1, int num_interp_indices2, double* goodanswer2D, int answer_x,
                                int answer_y)
{
    nx3dArray<double> psfarraylist((size_t)psf_Ny, (size_t)psf_Nx, (size_t)M, array_of_psfarray);
    nx2dArray<double> psf_locn((size_t)numcentres_mustbe3, (size_t)numpsf, psf_location2D);
    nx3dArray<double> array_psf_interp_coeffs((size_t)num_interp_coeffs2, (size_t)num_interp_coeffs1,
                                              (size_t)num_interp_coeffs0, psf_interp_coeffs3D);
    nx3dArray<int>    array_psf_interp_indices((size_t)num_interp_indices2, (size_t)num_interp_indices1,
                                               (size_t)num_interp_indices0, psf_interp_indices3D);
    nx2dArray<double> goodanswer((size_t)answer_y, (size_t)answer_x, goodanswer2D);

    request.Start();
    nxScopedRecordSink scope(request.sink);
    if (Nspecs != 22) {
        NXLOG_RECORD(nxlog_warning, "cimpl_create_deconvolution needs exactly 22 windowing parameters, you passed in %d",
                     Nspecs);
        goodanswer.SetTo(0.0);
        request.Finish(false);
        return false;
    }
    bool ok = false;
    try {
        std::vector<const double*> psfarraypointers = PsfImagePointers(psfarraylist);
        const velmora::WindowSpec  w  = velmora::WindowSpec::FromArray(window_specs);
        const int                  Dx = w.Dx(), Dy = w.Dy();
        const int                  Kx = w.Kx(), Ky = w.Ky();
        const int64_t              KK      = (int64_t)Kx * Ky;
        int                        Ncoeffs = 0;
        int           x0 = 0, x1 = 0;
        ok = request.ColumnRange("cimpl_create_deconvolution", Kx, &x0, &x1);
        const int64_t rows = (int64_t)(x1 - x0) * Ky;
        ok = ok && numpsf == M && numcentres_mustbe3 == 3 && num_interp_coeffs0 == Dx && num_interp_coeffs1 == Dy &&
             num_interp_indices0 == Dx && num_interp_indices1 == Dy && psf_Nx >= Dx && psf_Ny >= Dy &&
             answer_x == rows && answer_y == KK;
        if (ok) {
            Ncoeffs = num_interp_coeffs2;
            ok      = num_interp_indices2 == Ncoeffs;
        }
        if (!ok) {
            NXLOG_RECORD(nxlog_error, "cimpl_create_deconvolution, there were errors in the psf locations, coefficients "
                                      "or indexing arrays");
            NXLOG_RECORD(nxlog_error, "cimpl_create_deconvolution, locn size   = (%d, %d)", numcentres_mustbe3, numpsf);
            NXLOG_RECORD(nxlog_error, "cimpl_create_deconvolution, index size  = (%d, %d, %d)", num_interp_indices2,
                         num_interp_indices1, num_interp_indices0);
            NXLOG_RECORD(nxlog_error, "cimpl_create_deconvolution, coeffs size = (%d, %d, %d)", num_interp_coeffs2,
                         num_interp_coeffs1, num_interp_coeffs0);
            NXLOG_RECORD(nxlog_error, "cimpl_create_deconvolution, (Dy,Dx) = (%d,%d),  M = %d, (psf_Ny, psf_Nx) = (%d,%d)",
                         Dy, Dx, M, psf_Ny, psf_Nx);
            NXLOG_RECORD(nxlog_error, "cimpl_create_deconvolution, (answery, answerx) = (%d,%d),  KK = %lld, Ncoeffs = %d",
                         answer_y, answer_x, (long long)KK, Ncoeffs);
        } else {
            ok = torvendll_create_deconvolution_matrix(
                request, goodanswer2D, (int)KK, psfarraypointers.data(), M, psf_Nx, psf_Ny, psf_location2D, numpsf,
                numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
                psf_interp_indices3D, num_interp_indices0, num_interp_indices1, num_interp_indices2, w.FULLCONVx(),
                w.FULLCONVy(), w.NOFSx(), w.NOFSy(), w.NOOFx(), w.NOOFy(), w.DOFSx(), w.DOFSy(), w.Dx(), w.Dy(),
                w.SOFSx(), w.SOFSy(), w.Sx(), w.Sy(), w.LBINx(), w.LBINy(), w.Lx(), w.Ly(), w.KBINx(), w.KBINy(),
                w.Kx(), w.Ky(), Ncoeffs);
        }
    } catch (...) {
        NXLOG_RECORD(nxlog_error, "cimpl_create_deconvolution, Insufficient memory to build the convolution matrix");
        ok = false;
    }
    if (!ok) request.ClearOutput(goodanswer.UnsafeArrayBasePtr(), goodanswer.size());
    request.Finish(ok);
    return ok;
}

bool torven_entry_create_horizontal_stray_light_matrix(TORVEN_BuildRequest& request, int* window_specs, int Nspecs, double* vignettingarray, int Vnx,
                                                int Vny, double* array_of_psfarray, int M, int psf_Nx, int psf_Ny,
                                                double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                                double* psf_interp_coeffs3D, int num_interp_coeffs0,
                                                int num_interp_coeffs1, int num_interp_coeffs2,
                                                int* psf_interp_indices3D, int num_interp_indices0,
                                                int num_interp_indices1, int num_interp_indices2,
                                                double* goodanswer2D, int answer_x, int answer_y, int delta_nx,
                                                int delta_ny, int delta_sx, int delta_sy)
{
    nx3dArray<double> psfarraylist((size_t)psf_Ny, (size_t)psf_Nx, (size_t)M, array_of_psfarray);
    nx2dArray<double> goodanswer((size_t)answer_y, (size_t)answer_x, goodanswer2D);

    request.Start();
    nxScopedRecordSink scope(request.sink);
    if (Nspecs != 22) {
        NXLOG_RECORD(nxlog_warning,
                     "cimpl_create_horizontal_stray_light_matrix needs exactly 22 windowing parameters, you passed in %d",
                     Nspecs);
        goodanswer.SetTo(0.0);
        request.Finish(false);
        return false;
    }
    bool ok = false;
    try {
        std::vector<const double*> psfarraypointers = PsfImagePointers(psfarraylist);
        const velmora::WindowSpec  w  = velmora::WindowSpec::FromArray(window_specs);
        const int64_t              KK = (int64_t)w.Kx() * w.Ky();
        // The service views KK x KK doubles of the output and reads three numbers
        // per PSF: refuse other shapes before it sees them.
        int x0 = 0, x1 = 0;
        ok = request.ColumnRange("cimpl_create_horizontal_stray_light_matrix", w.Kx(), &x0, &x1);
        const int64_t rows = (int64_t)(x1 - x0) * w.Ky();
        ok = ok && answer_x == rows && answer_y == KK && numcentres_mustbe3 == 3;
        if (!ok) {
            NXLOG_RECORD(nxlog_error,
                         "cimpl_create_horizontal_stray_light_matrix, there were errors in the psf locations or the "
                         "output matrix");
            NXLOG_RECORD(nxlog_error, "cimpl_create_horizontal_stray_light_matrix, locn size   = (%d, %d)",
                         numcentres_mustbe3, numpsf);
            NXLOG_RECORD(nxlog_error, "cimpl_create_horizontal_stray_light_matrix, (answery, answerx) = (%d,%d),  KK = %lld",
                         answer_y, answer_x, (long long)KK);
        } else {
            ok = torvendll_create_horizontal_stray_light_matrix(
                request, goodanswer2D, (int)KK, vignettingarray, Vnx, Vny, psfarraypointers.data(), M, psf_Nx, psf_Ny,
                psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0,
                num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D, num_interp_indices0, num_interp_indices1,
                num_interp_indices2, w.FULLCONVx(), w.FULLCONVy(), w.NOFSx(), w.NOFSy(), w.NOOFx(), w.NOOFy(),
                w.DOFSx(), w.DOFSy(), w.Dx(), w.Dy(), w.SOFSx(), w.SOFSy(), w.Sx(), w.Sy(), w.LBINx(), w.LBINy(),
                w.Lx(), w.Ly(), w.KBINx(), w.KBINy(), w.Kx(), w.Ky(), delta_nx, delta_ny, delta_sx, delta_sy);
        }
    } catch (...) {
        NXLOG_RECORD(nxlog_error,
                     "cimpl_create_horizontal_stray_light_matrix, Insufficient memory to build the convolution matrix");
        ok = false;
    }
    if (!ok) request.ClearOutput(goodanswer.UnsafeArrayBasePtr(), goodanswer.size());
    request.Finish(ok);
    return ok;
}
