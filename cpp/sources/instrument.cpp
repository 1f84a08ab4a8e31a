// velmora's front door: WindowSpec and Instrument; see instrument.h.
#include "instrument.h"

#include <cstdint>
#include <cstdio>

#include "fast_tables.h"
#include "psftables.h"

namespace velmora {

namespace {

using i64 = int64_t;

std::string Format(const char* format, long long a)
{
    char text[160];
    std::snprintf(text, sizeof text, format, a);
    return text;
}

}   // namespace

WindowSpec WindowSpec::FromArray(const int* values)
{
    WindowSpec s;
    for (int i = 0; i < kCount; ++i) s.m_p[i] = values[i];
    return s;
}

WindowSpec WindowSpec::FromScalars(int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy,
                                   int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
                                   int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky)
{
    const int values[kCount] = {FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy,
                                Dx,        Dy,        SOFSx, SOFSy, Sx,    Sy,    LBINx, LBINy,
                                Lx,        Ly,        KBINx, KBINy, Kx,    Ky};
    return FromArray(values);
}

bool WindowSpec::Check(Tables tables, std::string* error) const
{
    for (int s : {kNOOFx, kNOOFy, kDx, kDy, kSx, kSy, kLx, kLy, kKx, kKy}) {
        if (m_p[s] < 0 || m_p[s] > fastbuild::kMaxExtent) {
            *error = "a window size is negative or too large";
            return false;
        }
    }
    for (int s : {kLBINx, kLBINy, kKBINx, kKBINy}) {
        if (m_p[s] < 1 || m_p[s] > fastbuild::kMaxExtent) {
            *error = "a binning is below 1 or too large";
            return false;
        }
    }
    if (Kx() < 1 || Ky() < 1 || F() > INT32_MAX) {
        *error = "the L1C window has no pixels or more than 2^31 - 1";
        return false;
    }
    if ((i64)Sx() != (i64)LBINx() * Lx() || (i64)Sy() != (i64)LBINy() * Ly() || (i64)Lx() != (i64)KBINx() * Kx() ||
        (i64)Ly() != (i64)KBINy() * Ky()) {
        *error = "the science, L1B and L1C window sizes do not agree with the binnings";
        return false;
    }
    const i64 sx0 = SOFSx(), sy0 = SOFSy();
    if (sx0 < 0 || sy0 < 0 || sx0 + Sx() > Dx() || sy0 + Sy() > Dy()) {
        *error = "the science window does not lie inside the detector window";
        return false;
    }
    if (tables == Tables::noof) {
        const i64 nx0 = sx0 + DOFSx(), ny0 = sy0 + DOFSy();
        if (nx0 < 0 || ny0 < 0 || nx0 + Sx() > NOOFx() || ny0 + Sy() > NOOFy()) {
            *error = "the science window does not lie inside the NOOF window";
            return false;
        }
    }
    return true;
}

bool Instrument::Make(const int* specs, int nspecs, const PsfArrays& a, WindowSpec::Tables tables, Instrument* out,
                      std::string* error)
{
    if (specs == nullptr || nspecs != WindowSpec::kCount) {
        *error = Format("%lld windowing parameters were given; 22 are needed", nspecs);
        return false;
    }
    const WindowSpec w = WindowSpec::FromArray(specs);
    if (!w.Check(tables, error)) return false;
    const bool noof = tables == WindowSpec::Tables::noof;
    const i64  wx = noof ? w.NOOFx() : w.Dx(), wy = noof ? w.NOOFy() : w.Dy();
    if (a.images == nullptr || a.M < 1 || a.Nx < w.Sx() || a.Ny < w.Sy()) {
        *error = "there are no PSF images, or they are smaller than the science window";
        return false;
    }
    if (a.centres == nullptr || a.centres0 != a.M || a.centres1 != 3) {
        *error = "the PSF centres must be an (M, 3) array for the M PSF images";
        return false;
    }
    if (a.coefficients == nullptr || a.indices == nullptr || a.c0 != wx || a.c1 != wy || a.i0 != wx || a.i1 != wy ||
        a.c2 != a.i2 || a.c2 > TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS) {
        *error = noof ? "the PSF interpolation tables do not have the shape (NOOFx, NOOFy, N) of the NOOF window"
                      : "the PSF interpolation tables do not have the shape (Dx, Dy, N) of the detector window";
        return false;
    }
    out->m_spec   = w;
    out->m_arrays = a;
    out->m_tables = tables;
    return true;
}

}   // namespace velmora
