#pragma once
// velmora's front door: what one build is about, as values.
//
// - velmora::WindowSpec: the 22 windowing parameters by name, with the one
//   check of their consistency that velmora's own builds rely on;
// - velmora::Instrument: the windowing parameters and views of the caller's PSF arrays
//   (images, centres, interpolation coefficients and indices), their shapes
//   checked once against the windows;
// - the options of a build, each default written once here: InfieldOptions
//   (scheme and lower-edge correction), StrayOptions (sampling steps) and
//   RunOptions (threads, path, kernels, column range).
//
// The module's entry functions keep their own checks and texts; they hand the
// generator a WindowSpec made from their 22 integers. Geometry derived from
// these values (tiling, lower-edge rows, strip height) is in geometry.h.
#include <cstdint>
#include <string>

namespace velmora {

// The 22 windowing parameters, in their fixed order.
class WindowSpec
{
  public:
    enum Index : int
    {
        kFULLCONVx, kFULLCONVy, kNOFSx, kNOFSy, kNOOFx, kNOOFy, kDOFSx, kDOFSy, kDx, kDy, kSOFSx, kSOFSy,
        kSx, kSy, kLBINx, kLBINy, kLx, kLy, kKBINx, kKBINy, kKx, kKy, kCount
    };

    WindowSpec() = default;
    // The parameters from an array of kCount integers, in their order.
    static WindowSpec FromArray(const int* values);
    static WindowSpec FromScalars(int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx,
                                  int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy, int LBINx,
                                  int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky);

    int operator[](int i) const { return m_p[i]; }
    const int* data() const { return m_p; }

    int FULLCONVx() const { return m_p[kFULLCONVx]; }
    int FULLCONVy() const { return m_p[kFULLCONVy]; }
    int NOFSx() const { return m_p[kNOFSx]; }
    int NOFSy() const { return m_p[kNOFSy]; }
    int NOOFx() const { return m_p[kNOOFx]; }
    int NOOFy() const { return m_p[kNOOFy]; }
    int DOFSx() const { return m_p[kDOFSx]; }
    int DOFSy() const { return m_p[kDOFSy]; }
    int Dx() const { return m_p[kDx]; }
    int Dy() const { return m_p[kDy]; }
    int SOFSx() const { return m_p[kSOFSx]; }
    int SOFSy() const { return m_p[kSOFSy]; }
    int Sx() const { return m_p[kSx]; }
    int Sy() const { return m_p[kSy]; }
    int LBINx() const { return m_p[kLBINx]; }
    int LBINy() const { return m_p[kLBINy]; }
    int Lx() const { return m_p[kLx]; }
    int Ly() const { return m_p[kLy]; }
    int KBINx() const { return m_p[kKBINx]; }
    int KBINy() const { return m_p[kKBINy]; }
    int Kx() const { return m_p[kKx]; }
    int Ky() const { return m_p[kKy]; }

    // Detector pixels of one L1C pixel along each axis, and the L1C pixels.
    int64_t Bx() const { return (int64_t)LBINx() * KBINx(); }
    int64_t By() const { return (int64_t)LBINy() * KBINy(); }
    int64_t F() const { return (int64_t)Kx() * Ky(); }

    // The windows whose pixels the PSF interpolation tables cover.
    enum class Tables
    {
        detector,
        noof
    };
    // Whether the windows nest and bin consistently: sizes within the fast
    // builds' extents, binnings of at least 1, an L1C window of 1 to 2^31 - 1
    // pixels, science = L1B x LBIN = L1C x LBIN x KBIN, the science window
    // inside the detector window and, for `noof` tables, inside the NOOF
    // window. False with the reason in *error otherwise.
    bool Check(Tables tables, std::string* error) const;

  private:
    int m_p[kCount] = {};
};

// The caller's PSF arrays as C-ordered NumPy arrays: images (M, Nx, Ny),
// centres (M, 3), coefficients and indices (Wx, Wy, N) over the working
// window. Views only: the caller owns the buffers.
struct PsfArrays
{
    const double* images = nullptr;
    int           M = 0, Nx = 0, Ny = 0;
    const double* centres = nullptr;
    int           centres0 = 0, centres1 = 0;
    const double* coefficients = nullptr;
    int           c0 = 0, c1 = 0, c2 = 0;
    const int*    indices = nullptr;
    int           i0 = 0, i1 = 0, i2 = 0;
};

// One instrument: its windows and PSF arrays, consistent with each other.
class Instrument
{
  public:
    // Checks the windows (WindowSpec::Check) and the shapes of the arrays
    // against them: PSF images at least as large as the science window, one
    // centre row of 3 per image, tables of the working window of `tables` with
    // as many indices as coefficients, at most the lookup's maximum. False
    // with the reason in *error; `out` is then unusable.
    static bool Make(const int* specs, int nspecs, const PsfArrays& arrays, WindowSpec::Tables tables,
                     Instrument* out, std::string* error);

    const WindowSpec&  Windows() const { return m_spec; }
    const PsfArrays&   Arrays() const { return m_arrays; }
    WindowSpec::Tables TablesWindow() const { return m_tables; }

  private:
    WindowSpec         m_spec;
    PsfArrays          m_arrays;
    WindowSpec::Tables m_tables = WindowSpec::Tables::detector;
};

// The in-field build's options.
struct InfieldOptions
{
    bool use_simpsons = true;   // quadratic scheme (false: midpoint)
    bool lower_edge   = true;   // add the lower-edge correction
    int  rows_below   = 42;     // detector rows below the bottom edge acting as sources
    int  rows_above   = 42;     // strip above the bottom edge that they reach
};

// The stray-light build's sampling steps: sources (n) and receivers (s).
struct StrayOptions
{
    int delta_nx = 1, delta_ny = 1, delta_sx = 1, delta_sy = 1;
};

// How a build runs.
struct RunOptions
{
    int  threads   = 0;       // team size; 0 or less: the calling thread's OpenMP maximum
    bool per_pixel = false;   // run the per-pixel (reference) build even where the fast one applies
    // The kernels of the fast build: 0 the best the processor has, 1 SSE2,
    // 2 AVX2 with FMA (a target the processor lacks falls back to SSE2).
    int kernel = 0;
    // Build only the sources of the L1C columns x in [column_begin, column_end):
    // the rows [column_begin * Ky, column_end * Ky) of the whole matrix, into an
    // output of that many rows. column_end < 0 means Kx.
    int column_begin = 0;
    int column_end   = -1;
    // The output holds zeros when the build starts (a new file mapping, say):
    // a build that needs them does not write them again, and a failed or
    // cancelled one zeroes only what it wrote.
    bool out_zeroed = false;
};

}   // namespace velmora
