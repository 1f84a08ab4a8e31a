// The matrix service: settings and requests.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "deconvolution_interfaces.h"
#include "make_psfmatrix.h"

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

TORVEN_BuildOptions torvendll_settings_options(bool infield)
{
    TORVEN_BuildOptions o;
    if (infield) {
        o.use_simpsons = g_use_simspons_interpolation;
        o.lower_edge   = g_create_lower_edge_adjustment;
        o.rows_below   = g_rows_below_bottom_edge;
        o.rows_above   = g_rows_above_bottom_edge;
    }
    o.threads             = g_maxthreads;
    o.diagnostic          = g_diagnosticonly;
    o.set_runtime_threads = true;
    o.version             = (const char*)g_versionstr;
    TORVEN_ApplyKernelEnvironment(&o);
    return o;
}

// ---------------------------------------------------------------------------
// Shared parts of the two requests.
namespace {

using velmora::WindowSpec;


// Refuses window parameters for which the window arithmetic is undefined: a
// binning below 1, a negative size, or a product that does not fit a 32-bit
// signed integer. One error record per fault. Offsets may be negative.
bool CheckWindowArithmetic(const char* function, const WindowSpec& w)
{
    bool ok = true;
    static const struct
    {
        const char* name;
        int         x;
    } sizes[] = {{"full convolution area", WindowSpec::kFULLCONVx}, {"NOOF window", WindowSpec::kNOOFx},  {"detector window", WindowSpec::kDx},
                 {"science window", WindowSpec::kSx},               {"L1B window", WindowSpec::kLx},      {"L1C window", WindowSpec::kKx}};
    for (const auto& s : sizes) {
        if (w[s.x] < 0 || w[s.x + 1] < 0) {
            NXLOG_RECORD(nxlog_error, "%s, The size of the %s (%d,%d) must not be negative", function, s.name,
                         w[s.x + 1], w[s.x]);
            ok = false;
        }
    }
    static const struct
    {
        const char* name;
        int         x;
    } binnings[] = {{"science window to L1B", WindowSpec::kLBINx}, {"L1B to L1C", WindowSpec::kKBINx}};
    for (const auto& b : binnings) {
        if (w[b.x] < 1 || w[b.x + 1] < 1) {
            NXLOG_RECORD(nxlog_error, "%s, The %s binning (%d,%d) must be at least 1", function, b.name, w[b.x + 1],
                         w[b.x]);
            ok = false;
        }
    }
    static const struct
    {
        const char* name;
        int         a, b;
    } products[] = {{"number of L1C pixels Kx*Ky", WindowSpec::kKx, WindowSpec::kKy},
                    {"binned L1B size LBINx*Lx", WindowSpec::kLBINx, WindowSpec::kLx},
                    {"binned L1B size LBINy*Ly", WindowSpec::kLBINy, WindowSpec::kLy},
                    {"binned L1C size KBINx*Kx", WindowSpec::kKBINx, WindowSpec::kKx},
                    {"binned L1C size KBINy*Ky", WindowSpec::kKBINy, WindowSpec::kKy},
                    {"detector columns per L1C pixel LBINx*KBINx", WindowSpec::kLBINx, WindowSpec::kKBINx},
                    {"detector rows per L1C pixel LBINy*KBINy", WindowSpec::kLBINy, WindowSpec::kKBINy}};
    for (const auto& q : products) {
        const int64_t v = (int64_t)w[q.a] * (int64_t)w[q.b];
        if (v > INT32_MAX || v < INT32_MIN) {
            NXLOG_RECORD(nxlog_error, "%s, The %s (%d x %d) does not fit a 32-bit signed integer", function, q.name,
                         w[q.a], w[q.b]);
            ok = false;
        }
    }
    return ok;
}

// Refuses requests that the checks above let through but whose build could only
// report success while its PSF lookups fail (each failed lookup is logged and
// adds nothing): an L1C window without pixels, a science window that does not
// lie inside the detector window (its source pixels have no PSF coefficients)
// or, for the stray-light build, inside the NOOF window, and coefficient
// tables with more coefficients per pixel than a PSF lookup can hold. Run only
// after the window arithmetic has been accepted. One error record per fault.
bool CheckBuildableRequest(const char* function, const WindowSpec& w, int ncoeffs, bool inside_noof)
{
    bool ok = true;
    if (w.Kx() < 1 || w.Ky() < 1) {
        NXLOG_RECORD(nxlog_error, "%s, The L1C window (%d,%d) has no pixels, so there is no matrix to build", function,
                     w.Ky(), w.Kx());
        ok = false;
    }
    // The science window spans [SOFS, SOFS + S) in the detector window.
    const int64_t sx0 = w.SOFSx(), sy0 = w.SOFSy();
    if (sx0 < 0 || sy0 < 0 || sx0 + w.Sx() > w.Dx() || sy0 + w.Sy() > w.Dy()) {
        NXLOG_RECORD(nxlog_error,
                     "%s, The science window (%d,%d) at offset (%d,%d) does not lie inside the (%d,%d) detector window",
                     function, w.Sy(), w.Sx(), w.SOFSy(), w.SOFSx(), w.Dy(), w.Dx());
        ok = false;
    }
    if (inside_noof) {
        // ... and at SOFS + DOFS in the NOOF window.
        const int64_t nx0 = sx0 + w.DOFSx(), ny0 = sy0 + w.DOFSy();
        if (nx0 < 0 || ny0 < 0 || nx0 + w.Sx() > w.NOOFx() || ny0 + w.Sy() > w.NOOFy()) {
            NXLOG_RECORD(nxlog_error,
                         "%s, The science window (%d,%d) at offset (%lld,%lld) in the NOOF window does not lie inside "
                         "the (%d,%d) NOOF window",
                         function, w.Sy(), w.Sx(), (long long)ny0, (long long)nx0, w.NOOFy(), w.NOOFx());
            ok = false;
        }
    }
    if (ncoeffs > TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS) {
        NXLOG_RECORD(nxlog_error,
                     "%s, The PSF interpolation tables hold %d coefficients per pixel but at most %d can be used",
                     function, ncoeffs, (int)TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS);
        ok = false;
    }
    return ok;
}

// Array dimensions handed in by a caller must not be negative.
bool CheckDimensions(const char* function, std::initializer_list<int> dims)
{
    for (int d : dims) {
        if (d < 0) {
            NXLOG_RECORD(nxlog_error, "%s, An array dimension (%d) is negative", function, d);
            return false;
        }
    }
    return true;
}

// The caller's buffers of one request, viewed without copying (first index
// fastest, so NumPy dimensions are listed in reverse).
struct RequestViews
{
    nx2dArray<double> goodanswer;
    nx2dArray<double> psf_locn;
    nx3dArray<double> coefficients;
    nx3dArray<int>    indices;

    // The output is a view of KK receivers by `rows` sources: the rows of the
    // request's column range (all KK without one).
    bool Attach(const char* function, double* goodanswer2D, int KK, int rows, double* psf_location2D, int numpsf,
                int numcentres, double* coeffs3D, int c0, int c1, int c2, int* indices3D, int i0, int i1, int i2)
    {
        psf_locn.Attach((size_t)numcentres, (size_t)numpsf, psf_location2D);
        coefficients.Attach((size_t)c2, (size_t)c1, (size_t)c0, coeffs3D);
        indices.Attach((size_t)i2, (size_t)i1, (size_t)i0, indices3D);
        if (rows < 0) return false;
        if (!goodanswer.Attach((size_t)KK, (size_t)rows, goodanswer2D)) {
            NXLOG_RECORD(nxlog_error, "%s, Error attaching to the (%d, %d) input convolution matrix storage", function,
                         KK, KK);
            return false;
        }
        return true;
    }
};

// The rows of the request's column range, or -1 (after an error record) for a
// range outside the L1C window.
int RangeRows(const char* function, const TORVEN_BuildRequest& request, int Kx, int Ky)
{
    int x0 = 0, x1 = 0;
    if (!request.ColumnRange(function, Kx, &x0, &x1)) return -1;
    const int64_t rows = (int64_t)(x1 - x0) * Ky;
    return (rows < 0 || rows > INT32_MAX) ? -1 : (int)rows;
}

// The science window must be the binned L1B window, and the L1B window the
// binned L1C window (products in 64 bits).
bool CheckBinnedSizes(const char* function, const WindowSpec& w)
{
    bool          ok    = true;
    const int64_t lbinx = (int64_t)w.LBINx() * w.Lx(), lbiny = (int64_t)w.LBINy() * w.Ly();
    const int64_t kbinx = (int64_t)w.KBINx() * w.Kx(), kbiny = (int64_t)w.KBINy() * w.Ky();
    if (!(w.Sx() == lbinx && w.Sy() == lbiny)) {
        NXLOG_RECORD(nxlog_error,
                     "%s, The science window size (%d,%d) is not the same size as the L1B binned window (%lld,%lld)",
                     function, w.Sy(), w.Sx(), (long long)lbinx, (long long)lbiny);
        ok = false;
    }
    if (!(w.Lx() == kbinx && w.Ly() == kbiny)) {
        NXLOG_RECORD(nxlog_error,
                     "%s, The L1B binned window size (%d,%d) is not the same size as the L1C binned window (%lld,%lld)",
                     function, w.Ly(), w.Lx(), (long long)kbinx, (long long)kbiny);
        ok = false;
    }
    return ok;
}

// The texts of the three table checks of one request: coefficient table and
// index table against the working window (y, x), then the coefficient counts.
struct TableCheckTexts
{
    const char* coefficients;
    const char* indices;
    const char* counts;
};

bool CheckTables(const char* function, const RequestViews& v, int wy, int wx, int ncoeffs,
                 const TableCheckTexts& texts)
{
    bool ok = true;
    if (!((int64_t)v.coefficients.YSize() == wy && (int64_t)v.coefficients.ZSize() == wx)) {
        NXLOG_RECORD(nxlog_error, texts.coefficients, function, (int)v.coefficients.YSize(),
                     (int)v.coefficients.ZSize(), wy, wx);
        ok = false;
    }
    if (!((int64_t)v.indices.YSize() == wy && (int64_t)v.indices.ZSize() == wx)) {
        NXLOG_RECORD(nxlog_error, texts.indices, function, (int)v.indices.YSize(), (int)v.indices.ZSize(), wy, wx);
        ok = false;
    }
    if (!((int64_t)v.indices.XSize() == ncoeffs && (int64_t)v.coefficients.XSize() == ncoeffs)) {
        NXLOG_RECORD(nxlog_error, texts.counts, function, (int)v.coefficients.XSize(), (int)v.indices.XSize());
        ok = false;
    }
    return ok;
}

// The team size and the version and thread records that start a build.
void StartBuild(const char* function, TORVEN_BuildRequest& request)
{
    const int team = request.ResolveTeamSize(function);
    const char* version = request.options.version.empty() ? (const char*)g_versionstr : request.options.version.c_str();
    NXLOG_RECORD(nxlog_info, "%s, Version [%s]", function, version);
    NXLOG_RECORD(nxlog_info, "%s, Processing with a maximum of %d threads", function, team);
}

}   // namespace

// ---------------------------------------------------------------------------
bool torvendll_create_deconvolution_matrix(double* goodanswer2D, int KK, const double** psfarraypointers, int M,
                                           int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
                                           int numcentres_mustbe3, double* psf_interp_coeffs3D,
                                           int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
                                           int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
                                           int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy,
                                           int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx,
                                           int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx,
                                           int KBINy, int Kx, int Ky, int Ncoeffs)
{
    TORVEN_BuildRequest request(torvendll_settings_options(true));
    request.Start();
    const bool ok = torvendll_create_deconvolution_matrix(
        request, goodanswer2D, KK, psfarraypointers, M, psf_Nx, psf_Ny, psf_location2D, numpsf, numcentres_mustbe3,
        psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D,
        num_interp_indices0, num_interp_indices1, num_interp_indices2, FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx,
        NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky, Ncoeffs);
    request.Finish(ok);
    return ok;
}

bool torvendll_create_deconvolution_matrix(TORVEN_BuildRequest& request, double* goodanswer2D, int KK,
                                           const double** psfarraypointers, int M, int psf_Nx, int psf_Ny,
                                           double* psf_location2D, int numpsf, int numcentres_mustbe3,
                                           double* psf_interp_coeffs3D, int num_interp_coeffs0,
                                           int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
                                           int num_interp_indices0, int num_interp_indices1, int num_interp_indices2,
                                           int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy,
                                           int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
                                           int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky,
                                           int /*Ncoeffs*/)
{
    nxScopedRecordSink scope(request.sink);
    static const char* fn = "torvendll_create_deconvolution_matrix";
    const WindowSpec   p  = WindowSpec::FromScalars(FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy,
                                                    Dx, Dy, SOFSx, SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy,
                                                    Kx, Ky);
    static const TableCheckTexts texts = {
        "%s, the array of PSF interpolation coefficients (%d,%d) must equal the size of the detector window (%d,%d)",
        "%s, the array of PSF interpolation indices (%d,%d) must equal the size of the detector window (%d,%d)",
        "%s, the Number of coefficients in the PSF interpolation coefficient (%d) and index (%d) arrays must match"};
    bool ok = CheckDimensions(fn, {KK, M, psf_Nx, psf_Ny, numpsf, numcentres_mustbe3, num_interp_coeffs0,
                                   num_interp_coeffs1, num_interp_coeffs2, num_interp_indices0, num_interp_indices1,
                                   num_interp_indices2});
    RequestViews v;
    if (ok) {
        ok = v.Attach(fn, goodanswer2D, KK, RangeRows(fn, request, Kx, Ky), psf_location2D, numpsf,
                      numcentres_mustbe3, psf_interp_coeffs3D,
                      num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D,
                      num_interp_indices0, num_interp_indices1, num_interp_indices2);
        if (!(psf_Nx >= Sx && psf_Ny >= Sy)) {
            NXLOG_RECORD(nxlog_error,
                         "%s, The size of the PSF arrays (%d, %d) must be bigger or same size as the science window "
                         "(%d, %d)",
                         fn, psf_Ny, psf_Nx, Sy, Sx);
            ok = false;
        }
        ok = CheckBinnedSizes(fn, p) && ok;
        ok = CheckTables(fn, v, Dy, Dx, num_interp_coeffs2, texts) && ok;
        ok = CheckWindowArithmetic(fn, p) && ok;
        if (ok) ok = CheckBuildableRequest(fn, p, num_interp_coeffs2, false);
    }
    if (ok) {
        try {
            TORVEN_DeconvolutionMatrixGenerator generator(p, goodanswer2D, KK, request.options.diagnostic,
                                                          request.options.rows_below, request.options.rows_above);
            generator.set_option_create_lower_edge_adjustment(request.options.lower_edge);
            generator.set_option_use_simpsons(request.options.use_simpsons);
            generator.SetRequest(&request);
            StartBuild(fn, request);
            ok = generator.PSF_Table()->Initialize(psfarraypointers, M, psf_Nx, psf_Ny, WINDOW_DETECTOR,
                                                   *generator.WindowHierachy(), v.psf_locn, v.coefficients,
                                                   v.indices);
            if (ok) ok = generator.build_transfer_function(&v.goodanswer);
        } catch (...) {
            NXLOG_RECORD(nxlog_error, "%s, Insufficient memory to build the convolution matrix", fn);
            ok = false;
        }
    }
    if (request.Cancelled()) {
        NXLOG_RECORD(nxlog_info,
                     "torvendll_create_deconvolution_matrix. The build of the convolution matrix of size (%d,%d) was "
                     "cancelled. It is set to 0.0",
                     KK, KK);
        request.ClearOutput(v.goodanswer.UnsafeArrayBasePtr(), v.goodanswer.size());
        ok = false;
    } else if (ok) {
        NXLOG_RECORD(nxlog_info, "torvendll_create_deconvolution_matrix. Successfuly generated the convolution matrix of size (%d,%d)",
                     KK, KK);
    } else {
        NXLOG_RECORD(nxlog_info,
                     "torvendll_create_deconvolution_matrix. Error generating the convolution matrix of size (%d,%d). It "
                     "is set to 0.0",
                     KK, KK);
        request.ClearOutput(v.goodanswer.UnsafeArrayBasePtr(), v.goodanswer.size());
    }
    return ok;
}

// ---------------------------------------------------------------------------
bool torvendll_create_horizontal_stray_light_matrix(
    double* goodanswer2D, int KK, double* vignettingarray, int Vnx, int Vny, const double** psfarraypointers, int M,
    int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
    int num_interp_indices0, int num_interp_indices1, int num_interp_indices2, int FULLCONVx, int FULLCONVy,
    int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx,
    int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky, int delta_nx, int delta_ny,
    int delta_sx, int delta_sy)
{
    TORVEN_BuildRequest request(torvendll_settings_options(false));
    request.Start();
    const bool ok = torvendll_create_horizontal_stray_light_matrix(
        request, goodanswer2D, KK, vignettingarray, Vnx, Vny, psfarraypointers, M, psf_Nx, psf_Ny, psf_location2D,
        numpsf, numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
        psf_interp_indices3D, num_interp_indices0, num_interp_indices1, num_interp_indices2, FULLCONVx, FULLCONVy,
        NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx,
        Ky, delta_nx, delta_ny, delta_sx, delta_sy);
    request.Finish(ok);
    return ok;
}

bool torvendll_create_horizontal_stray_light_matrix(
    TORVEN_BuildRequest& request, double* goodanswer2D, int KK, double* vignettingarray, int Vnx, int Vny,
    const double** psfarraypointers, int M, int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
    int numcentres_mustbe3, double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
    int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx,
    int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly,
    int KBINx, int KBINy, int Kx, int Ky, int delta_nx, int delta_ny, int delta_sx, int delta_sy)
{
    nxScopedRecordSink scope(request.sink);
    static const char* fn = "torvendll_create_horizontal_stray_light_matrix";
    const WindowSpec   p  = WindowSpec::FromScalars(FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy,
                                                    Dx, Dy, SOFSx, SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy,
                                                    Kx, Ky);
    static const TableCheckTexts texts = {
        "%s, the array of PSF interpolation coefficients (%d,%d) must be the same size as the NOOF window (%d,%d)",
        "%s, the array of PSF interpolation indices (%d,%d) must be the same size as the NOOF window (%d,%d)",
        "%s, the Number of coefficients in the PSF interpolation (%d) and coefficient (%d) arrays must match"};
    bool ok = CheckDimensions(fn, {KK, Vnx, Vny, M, psf_Nx, psf_Ny, numpsf, numcentres_mustbe3, num_interp_coeffs0,
                                   num_interp_coeffs1, num_interp_coeffs2, num_interp_indices0, num_interp_indices1,
                                   num_interp_indices2});
    RequestViews      v;
    nx2dArray<double> vignetting;
    if (ok) {
        if (!vignetting.Attach((size_t)Vnx, (size_t)Vny, vignettingarray)) {
            NXLOG_RECORD(nxlog_error, "%s, Error attaching to the (%d, %d) vignetting array", fn, Vnx, Vny);
            ok = false;
        }
        ok = v.Attach(fn, goodanswer2D, KK, RangeRows(fn, request, Kx, Ky), psf_location2D, numpsf,
                      numcentres_mustbe3, psf_interp_coeffs3D,
                      num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D,
                      num_interp_indices0, num_interp_indices1, num_interp_indices2) &&
             ok;
        if (!(psf_Nx >= Sx && psf_Ny >= Sy)) {
            NXLOG_RECORD(nxlog_error,
                         "%s, The size of the PSF arrays (%d, %d) must be at least as big as the science window (%d, %d)",
                         fn, psf_Ny, psf_Nx, Sy, Sx);
            ok = false;
        }
        if (numpsf != M) {
            NXLOG_RECORD(nxlog_error, "%s, The number of PSF arrays (%d) does not equal the number of locations (%d)", fn,
                         M, numpsf);
            ok = false;
        }
        ok = CheckBinnedSizes(fn, p) && ok;
        if ((int64_t)KK != (int64_t)Kx * Ky) {
            NXLOG_RECORD(nxlog_error,
                         "%s, The square convolution matrix dimension size (%d) is inconsistent with the L1C binned "
                         "window size (%d,%d)",
                         fn, KK, Ky, Kx);
            ok = false;
        }
        ok = CheckTables(fn, v, NOOFy, NOOFx, num_interp_coeffs2, texts) && ok;
        ok = CheckWindowArithmetic(fn, p) && ok;
        const struct
        {
            const char* name;
            int         value;
        } steps[] = {{"delta_nx", delta_nx}, {"delta_ny", delta_ny}, {"delta_sx", delta_sx}, {"delta_sy", delta_sy}};
        for (const auto& s : steps) {
            if (s.value < 1) {
                NXLOG_RECORD(nxlog_error, "%s, The sampling step %s (%d) must be at least 1", fn, s.name, s.value);
                ok = false;
            }
        }
        if (ok) ok = CheckBuildableRequest(fn, p, num_interp_coeffs2, true);
    }
    if (ok) {
        try {
            const velmora::InfieldOptions defaults;   // the lower-edge rows play no part here
            TORVEN_DeconvolutionMatrixGenerator generator(p, goodanswer2D, KK, request.options.diagnostic,
                                                          defaults.rows_below, defaults.rows_above);
            generator.SetRequest(&request);
            StartBuild(fn, request);
            ok = generator.PSF_Table()->Initialize(psfarraypointers, M, psf_Nx, psf_Ny, WINDOW_NOOF,
                                                   *generator.WindowHierachy(), v.psf_locn, v.coefficients,
                                                   v.indices);
            if (ok) ok = generator.build_horizontal_stray_light(&v.goodanswer, vignetting, delta_ny, delta_nx,
                                                                delta_sy, delta_sx);
        } catch (...) {
            NXLOG_RECORD(nxlog_error, "%s, Insufficient memory to build the convolution matrix", fn);
            ok = false;
        }
    }
    if (request.Cancelled()) {
        NXLOG_RECORD(nxlog_info,
                     "torvendll_create_horizontal_stray_light_matrix. The build of the horizontal stray light "
                     "convolution matrix of size (%d,%d) was cancelled. It is set to 0.0",
                     KK, KK);
        request.ClearOutput(v.goodanswer.UnsafeArrayBasePtr(), v.goodanswer.size());
        ok = false;
    } else if (ok) {
        NXLOG_RECORD(nxlog_info,
                     "torvendll_create_horizontal_stray_light_matrix. Successfuly generated the convolution matrix of "
                     "size (%d,%d)",
                     KK, KK);
    } else {
        NXLOG_RECORD(nxlog_info,
                     "torvendll_create_horizontal_stray_light_matrix. Error generating the horizontal stray light "
                     "convolution matrix of size (%d,%d)",
                     KK, KK);
        request.ClearOutput(v.goodanswer.UnsafeArrayBasePtr(), v.goodanswer.size());
    }
    return ok;
}
