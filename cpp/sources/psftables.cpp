#include "psftables.h"

#include <cassert>
#include <climits>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "nxlog.h"

// ---------------------------------------------------------------------------
TORVEN_PSF_Entry::TORVEN_PSF_Entry()
    : m_working_centre_locn_format(WINDOW_UNDEFINED),
      m_centre_windowtype(WINDOW_UNDEFINED),
      m_centre_on_sample(true),
      m_size(0, 0, WINDOW_DETECTOR)
{
    m_centre.x = -9999.0;
    m_centre.y = -9999.0;
}

bool TORVEN_PSF_Entry::Configure(WindowMappingType workingtype, const nx2dArray<double>& image, FloatCoords centre,
                                 WindowMappingType centretype)
{
    m_working_centre_locn_format = workingtype;
    m_centre_windowtype          = centretype;
    m_centre                     = centre;
    m_centre_on_sample           = (centre.x == std::trunc(centre.x)) && (centre.y == std::trunc(centre.y));
    bool ok                      = m_psf.ShallowCopy(image);
    m_psf.SetBoundsChecking(false);
    m_size = Coords((int)m_psf.XSize(), (int)m_psf.YSize(), WINDOW_DETECTOR);   // (y, x) order
    if (!ok) m_size = Coords(0, 0, WINDOW_DETECTOR);
    return ok;
}

double TORVEN_PSF_Entry::OffsetedValue(const Coords& working_location, const Coords& working_psf_centre) const
{
    double v;
    OffsetedColumn(working_location, 1, working_psf_centre, &v);
    return v;
}

void TORVEN_PSF_Entry::OffsetedColumn(const Coords& first, int n, const Coords& working_psf_centre,
                                      double* out) const
{
    assert(first.windowtype == m_working_centre_locn_format);
    assert(first.windowtype == working_psf_centre.windowtype);

    // The position of the PSF's centre plus the offset, in array samples.
    // Truncation toward zero maps (-1, 0) to 0: only positions at or below -1
    // lie before the image. Written so that NaN is outside too. Off-sample
    // centres interpolate bilinearly between the four samples around the
    // position, and give 0 where one of them is past the last column or row.
    // What does not depend on y is worked out once.
    const double px = m_centre.x + ((double)first.x - (double)working_psf_centre.x);
    const bool   inx = px > -1.0 && px < (double)m_size.x;
    const int    ix  = inx ? (int)px : 0;
    if (!inx || (!m_centre_on_sample && ix + 1 >= m_size.x)) {
        for (int k = 0; k < n; ++k) out[k] = 0.0;
        return;
    }
    const double* image = m_psf.UnsafeArrayBasePtr();
    const size_t  ny    = (size_t)m_size.y;
    const double* f0    = image + (size_t)ix * ny;   // column ix
    const double* f1    = f0 + ny;                   // column ix + 1
    const double  wx    = px - ix;
    const double  cy    = (double)working_psf_centre.y;
    for (int k = 0; k < n; ++k) {
        const double py = m_centre.y + ((double)((long long)first.y + k) - cy);
        if (!(py > -1.0 && py < (double)m_size.y)) {
            out[k] = 0.0;
            continue;
        }
        const int iy = (int)py;
        if (m_centre_on_sample) {
            out[k] = f0[iy];
            continue;
        }
        if (iy + 1 >= m_size.y) {
            out[k] = 0.0;
            continue;
        }
        const double wy = py - iy;
        out[k] = (1.0 - wx) * (1.0 - wy) * f0[iy] + wx * (1.0 - wy) * f1[iy] + (1.0 - wx) * wy * f0[iy + 1] +
                 wx * wy * f1[iy + 1];
    }
}

// ---------------------------------------------------------------------------
TORVEN_PSF_InterpolationCoeffs::TORVEN_PSF_InterpolationCoeffs()
    : m_location(-9999, -9999, WINDOW_DETECTOR), m_table(nullptr), m_numcoeffs(0)
{
    m_coeffvalues.SetReuseMemory(true);
    m_psfindices.SetReuseMemory(true);
    m_coeffvalues.SetSize(MAX_COEFFS);
    m_psfindices.SetSize(MAX_COEFFS);
}

bool TORVEN_PSF_InterpolationCoeffs::InterpolatePsfArrayToPixelLocation(const Coords& location,
                                                                        const TORVEN_PSF_Table* table,
                                                                        const double* coefficients,
                                                                        const int* indices, int count)
{
    m_table    = table;
    m_location = location;
    const int capacity =
        (int)(m_coeffvalues.size() < m_psfindices.size() ? m_coeffvalues.size() : m_psfindices.size());
    if (count > capacity) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_PSF_InterpolationCoeffs::InterpolatePixelArrayToPixelLocation, Internal interpolation "
                     "arrays of size (%d) were smaller than the number of incoming PSF interpolation coefficients "
                     "(%d) ",
                     capacity, count);
        m_numcoeffs = 0;
        return false;
    }
    const int numpsf = (table != nullptr) ? (int)table->MeasuredPSFEntries().size() : 0;
    double*   values = m_coeffvalues.UnsafeArrayBasePtr();
    int*      psfs   = m_psfindices.UnsafeArrayBasePtr();
    int       j      = 0;
    for (int i = 0; i < count; ++i) {
        if (coefficients[i] == 0.0) continue;   // NaN is kept
        if (indices[i] < 0 || indices[i] >= numpsf) {
            // Only reachable by a direct call: the table checks its indices when
            // it is initialised.
            NXLOG_RECORD(nxlog_error,
                         "TORVEN_PSF_InterpolationCoeffs::InterpolatePixelArrayToPixelLocation, PSF index (%d) is "
                         "not one of the table's %d measured PSFs",
                         indices[i], numpsf);
            m_numcoeffs = 0;
            return false;
        }
        values[j] = coefficients[i];
        psfs[j]   = indices[i];
        ++j;
    }
    m_numcoeffs = j;
    return true;
}

double TORVEN_PSF_InterpolationCoeffs::PSF(const Coords& working_location, const Coords& working_psf_centre) const
{
    if (m_table == nullptr || m_numcoeffs == 0) return 0.0;
    Coords L = working_location;
    Coords C = working_psf_centre;
    if (L.windowtype != m_location.windowtype || C.windowtype != m_location.windowtype) {
        const WindowMapping& detector = m_table->WindowHierarchy()->Detector();
        if (L.windowtype != m_location.windowtype) detector.ToParentWindow(working_location, &L, true);
        if (C.windowtype != m_location.windowtype) detector.ToParentWindow(working_psf_centre, &C, true);
    }
    const TORVEN_PSF_Entry* entries = m_table->MeasuredPSFEntries().data();
    const double*           values  = m_coeffvalues.UnsafeArrayBasePtr();
    const int*              psfs    = m_psfindices.UnsafeArrayBasePtr();
    double                  sum     = 0.0;
    for (int j = 0; j < m_numcoeffs; ++j) sum += values[j] * entries[psfs[j]].OffsetedValue(L, C);
    return sum;
}

// ---------------------------------------------------------------------------
TORVEN_PSF_Table::TORVEN_PSF_Table()
    : m_windowtype(WINDOW_UNDEFINED), m_hierarchy(nullptr), m_coefficients(nullptr), m_indices(nullptr)
{
}

const WindowMapping* TORVEN_PSF_Table::WorkingWindow() const
{
    if (m_hierarchy == nullptr) return nullptr;
    if (m_windowtype == WINDOW_DETECTOR) return &m_hierarchy->Detector();
    if (m_windowtype == WINDOW_NOOF) return &m_hierarchy->Noof();
    return nullptr;
}

void TORVEN_PSF_Table::PrefetchCoefficients(const Coords& working_location) const
{
    const WindowMapping* working = WorkingWindow();
    if (working == nullptr || m_coefficients == nullptr || m_indices == nullptr) return;
    if (working_location.windowtype != m_windowtype) return;
    const Coords& w = working_location;
    if (w.x < 0 || w.y < 0 || w.x >= working->Numx() || w.y >= working->Numy()) return;
    const size_t n = m_coefficients->XSize();
    if (n == 0) return;
    const size_t start = ((size_t)w.x * (size_t)working->Numy() + (size_t)w.y) * n;
#if defined(__GNUC__)
    __builtin_prefetch(m_coefficients->UnsafeArrayBasePtr() + start);
    __builtin_prefetch(m_indices->UnsafeArrayBasePtr() + start);
#endif
}

// Every index whose coefficient is non-zero (NaN included) must name one of the
// measured PSFs.
bool TORVEN_PSF_Table::CheckPsfIndices(int numpsf) const
{
    const size_t  ncoeffs = m_coefficients->XSize();
    const size_t  ny      = m_coefficients->YSize();
    const size_t  nx      = m_coefficients->ZSize();
    const double* c       = m_coefficients->UnsafeArrayBasePtr();
    const int*    idx     = m_indices->UnsafeArrayBasePtr();
    // One pass without branches first: a table passes it unless it holds a bad index.
    if (numpsf > 0) {
        const size_t   n     = nx * ny * ncoeffs;
        const unsigned limit = (unsigned)numpsf;
        bool           bad   = false;
        size_t         i     = 0;
#if defined(__SSE2__)
        // Four at a time: a coefficient that is not 0 (NaN is not) with an
        // index below 0 or above numpsf - 1.
        const __m128d zero = _mm_setzero_pd();
        const __m128i last = _mm_set1_epi32(numpsf - 1);
        __m128i       acc  = _mm_setzero_si128();
        for (; i + 4 <= n; i += 4) {
            const __m128d c0 = _mm_cmpneq_pd(_mm_loadu_pd(c + i), zero);
            const __m128d c1 = _mm_cmpneq_pd(_mm_loadu_pd(c + i + 2), zero);
            const __m128i nz = _mm_castps_si128(
                _mm_shuffle_ps(_mm_castpd_ps(c0), _mm_castpd_ps(c1), _MM_SHUFFLE(2, 0, 2, 0)));
            const __m128i k   = _mm_loadu_si128(reinterpret_cast<const __m128i*>(idx + i));
            const __m128i out = _mm_or_si128(_mm_cmplt_epi32(k, _mm_setzero_si128()), _mm_cmpgt_epi32(k, last));
            acc               = _mm_or_si128(acc, _mm_and_si128(nz, out));
        }
        bad = _mm_movemask_epi8(acc) != 0;
#endif
        for (; i < n; ++i) bad |= (c[i] != 0.0) & ((unsigned)idx[i] >= limit);
        if (!bad) return true;
    }
    for (size_t x = 0; x < nx; ++x) {
        for (size_t y = 0; y < ny; ++y) {
            const size_t start = (x * ny + y) * ncoeffs;
            for (size_t k = 0; k < ncoeffs; ++k) {
                const int index = idx[start + k];
                if (c[start + k] != 0.0 && (index < 0 || index >= numpsf)) {
                    NXLOG_RECORD(nxlog_error,
                                 "TORVEN_PSF_Table::Initialize, The PSF index (%d) of coefficient %d at pixel "
                                 "(x=%d, y=%d) of the working window does not refer to one of the %d measured PSFs",
                                 index, (int)k, (int)x, (int)y, numpsf);
                    return false;
                }
            }
        }
    }
    return true;
}

bool TORVEN_PSF_Table::Initialize(const double** psfimages, int numpsf, int psf_Nx, int psf_Ny,
                                  WindowMappingType windowtype, const WindowMappingHierarchy& hierarchy,
                                  const nx2dArray<double>& locations, const nx3dArray<double>& coefficients,
                                  const nx3dArray<int>& indices)
{
    bool ok          = true;
    m_hierarchy      = &hierarchy;
    m_windowtype     = windowtype;
    m_coefficients   = nullptr;
    m_indices        = nullptr;
    m_measuredpsfs.clear();

    const WindowMapping* working = WorkingWindow();
    if (working == nullptr) {
        NXLOG_RECORD(nxlog_error, "TORVEN_PSF_Table::Initialize, PSF table only support DETECTOR or NOOF windows. And "
                                  "all PSF windows must use the same window");
        ok = false;
    }
    if (ok) {
        NXLOG_RECORD(nxlog_info, windowtype == WINDOW_DETECTOR ? "All PSF coordinates will be mapped to the detector window"
                                                               : "All PSF coordinates will be mapped to the NOOF window");
        const size_t ny = (size_t)(working->Numy() < 0 ? 0 : working->Numy());
        const size_t nx = (size_t)(working->Numx() < 0 ? 0 : working->Numx());
        if (coefficients.YSize() != ny || coefficients.ZSize() != nx || indices.YSize() != ny ||
            indices.ZSize() != nx || working->Numy() < 0 || working->Numx() < 0) {
            NXLOG_RECORD(nxlog_error,
                         "TORVEN_PSF_Table::Initialize, The PSF coeffiecient and index tables are the wong size. "
                         "Expected (x,%d,%d) but got (%d,%d,%d)",
                         working->Numy(), working->Numx(), (int)coefficients.XSize(), (int)coefficients.YSize(),
                         (int)coefficients.ZSize());
            ok = false;
        } else if (indices.XSize() != coefficients.XSize()) {
            NXLOG_RECORD(nxlog_error,
                         "TORVEN_PSF_Table::Initialize, The PSF coefficient and index tables hold different numbers "
                         "of coefficients per pixel (%d and %d)",
                         (int)coefficients.XSize(), (int)indices.XSize());
            ok = false;
        }
    }
    if (ok && (numpsf < 0 || psf_Nx < 0 || psf_Ny < 0 || (numpsf > 0 && psfimages == nullptr))) {
        NXLOG_RECORD(nxlog_error, "TORVEN_PSF_Table::Initialize, Invalid PSF images: %d images of size (%d, %d)",
                     numpsf, psf_Ny, psf_Nx);
        ok = false;
    }
    if (ok && locations.size() < 3 * (size_t)numpsf) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_PSF_Table::Initialize, The PSF location array holds %d numbers but %d PSFs need %d "
                     "(Y, X and window type for each)",
                     (int)locations.size(), numpsf, 3 * numpsf);
        ok = false;
    }
    if (ok) {
        m_coefficients = &coefficients;
        m_indices      = &indices;
        if (coefficients.size() > 0 && !CheckPsfIndices(numpsf)) ok = false;
    }
    if (ok) {
        m_measuredpsfs.resize((size_t)numpsf);
        const double* locn = locations.UnsafeArrayBasePtr();
        for (int i = 0; i < numpsf; ++i) {
            const double Y    = locn[3 * (size_t)i];
            const double X    = locn[3 * (size_t)i + 1];
            const double type = locn[3 * (size_t)i + 2];
            // A window type that is not a number an int can hold is no window.
            const WindowMappingType centretype =
                (type > (double)INT_MIN - 1.0 && type < (double)INT_MAX + 1.0)
                    ? WindowMappingType_From_Integer((int)type)
                    : WINDOW_UNDEFINED;
            NXLOG_RECORD(nxlog_info,
                         "TORVEN_PSF_Table::Initialize, Adding measured PSF[%d] of size (%d, %d) with its center at "
                         "(Y=%f, X=%f)",
                         i, psf_Ny, psf_Nx, Y, X);
            nx2dArray<double> image;
            bool psfok = image.Attach((size_t)psf_Ny, (size_t)psf_Nx, const_cast<double*>(psfimages[i]));
            if (psfok) {
                FloatCoords centre;
                centre.x = X - 0.5;
                centre.y = Y - 0.5;
                psfok    = m_measuredpsfs[(size_t)i].Configure(windowtype, image, centre, centretype);
            }
            ok = ok && psfok;
        }
    }
    if (!ok) {
        // A table that failed to initialise answers no lookups.
        m_coefficients = nullptr;
        m_indices      = nullptr;
        NXLOG_RECORD(nxlog_warning, "TORVEN_PSF_Table::Initialize, There were errors configuring the TORVEN PSF "
                                    "Interpolation Table. Thats not good.");
    }
    return ok;
}

bool TORVEN_PSF_Table::GetInterpolationCoefficientsForNewPSFCentre(
    const Coords& incoming_psf_central_core_pixel_location, TORVEN_PSF_InterpolationCoeffs* coeffs) const
{
    const WindowMapping* working = WorkingWindow();
    if (working == nullptr || m_coefficients == nullptr || m_indices == nullptr) return false;
    Coords w = incoming_psf_central_core_pixel_location;
    if (w.windowtype != m_windowtype) {
        assert(incoming_psf_central_core_pixel_location.windowtype == WindowMappingType::WINDOW_DETECTOR);
        if (!m_hierarchy->Detector().ToParentWindow(incoming_psf_central_core_pixel_location, &w, false)) return false;
    }
    // The tables cover the working window only.
    if (w.x < 0 || w.y < 0 || w.x >= working->Numx() || w.y >= working->Numy()) return false;
    const size_t  n     = m_coefficients->XSize();
    const size_t  start = ((size_t)w.x * (size_t)working->Numy() + (size_t)w.y) * n;
    const double* c     = (n > 0) ? m_coefficients->UnsafeArrayBasePtr() + start : nullptr;
    const int*    idx   = (n > 0) ? m_indices->UnsafeArrayBasePtr() + start : nullptr;
    const int     count = n > (size_t)INT_MAX ? INT_MAX : (int)n;
    return coeffs->InterpolatePsfArrayToPixelLocation(w, this, c, idx, count);
}
