#pragma once
// Detector windows: the window levels, pixel positions tagged with their window,
// the offset-and-binning link between a window and its parent, the fixed chain
// of windows built from the 22 windowing parameters, and the flat numbering of
// L1C pixels that gives the rows and columns of the convolution matrix.
//
// Integer arithmetic. Every product and sum of a conversion (position x binning
// + offset, the differences to the offset, the composition of offsets and
// binnings, Numx x Numy, the flat index) is computed in 64 bits. A result that
// does not fit an int is saturated to INT_MIN or INT_MAX, and the integer
// conversions return false for it whether or not bounds are checked: such a
// position does not exist in any window. A zero binning never reaches a
// division: FromParentWindow writes -9999 on that axis and returns false.
// Results that fit an int are exact.
#include <climits>
#include <cstdint>

enum WindowMappingType : int32_t
{
    WINDOW_UNDEFINED = 1,   // scratch values, composed offsets and binnings, failed compositions
    WINDOW_NOOF      = 2,   // the NOOF window, parent of the detector window
    WINDOW_DETECTOR  = 3,   // the detector window (raw detector pixels)
    WINDOW_SCIENCE   = 4,   // the science window inside the detector window
    WINDOW_L1B       = 5,   // the L1B image, binned from the science window
    WINDOW_L1C       = 6,   // the L1C image, binned from the L1B image
    WINDOW_FULLCONV  = 7,   // the full convolution area, root of the chain
};

// The enumerator of the same value for 2..6, WINDOW_UNDEFINED for anything else
// (1 and 7 included).
WindowMappingType WindowMappingType_From_Integer(int value);

// An integer pixel position counted in one window.
struct Coords
{
    WindowMappingType windowtype;
    int               x;
    int               y;

    Coords() : windowtype(WINDOW_UNDEFINED), x(0), y(0) {}
    explicit Coords(WindowMappingType t) : windowtype(t), x(0), y(0) {}
    // Note the order: y before x.
    Coords(int y_, int x_, WindowMappingType t) : windowtype(t), x(x_), y(y_) {}
};

// A fractional position in pixel-edge coordinates: pixel i spans [i, i+1).
struct FloatCoords
{
    double x = 0.0;
    double y = 0.0;
};

namespace windowbinning_detail
{
inline bool FitsInt(int64_t v) { return v >= INT_MIN && v <= INT_MAX; }
inline int  SaturateToInt(int64_t v)
{
    return v < INT_MIN ? INT_MIN : (v > INT_MAX ? INT_MAX : static_cast<int>(v));
}
}   // namespace windowbinning_detail

// One window and its place in its parent window. Read-only once built (except
// as the target of CreateMappingToUpperLevel); the parent is not owned and must
// outlive the mapping.
class WindowMapping
{
  private:
    WindowMappingType    m_windowtype;
    const WindowMapping* m_parent;
    Coords               m_offset;    // this window's pixel (0, 0) in parent pixels
    Coords               m_binning;   // parent pixels per pixel of this window
    Coords               m_size;      // pixels of this window

  public:
    // A placeholder to be filled by CreateMappingToUpperLevel. Its binning is
    // zero, so FromParentWindow refuses to convert with it.
    explicit WindowMapping(WindowMappingType t)
        : m_windowtype(t), m_parent(nullptr), m_offset(WINDOW_UNDEFINED), m_binning(WINDOW_UNDEFINED), m_size(t)
    {
    }
    WindowMapping(WindowMappingType t, const Coords& offset, const Coords& binning, const Coords& size,
                  const WindowMapping* parent)
        : m_windowtype(t), m_parent(parent), m_offset(offset), m_binning(binning), m_size(size)
    {
    }

    int Ofsx() const { return m_offset.x; }
    int Ofsy() const { return m_offset.y; }
    int Binx() const { return m_binning.x; }
    int Biny() const { return m_binning.y; }
    int Numx() const { return m_size.x; }
    int Numy() const { return m_size.y; }

    WindowMappingType    WindowType() const { return m_windowtype; }
    const WindowMapping* Parent() const { return m_parent; }
    const Coords&        Offset() const { return m_offset; }
    const Coords&        Binning() const { return m_binning; }
    const Coords&        Size() const { return m_size; }

    // The parent pixel holding this window pixel's lowest corner. With `check`,
    // true only if it lies inside the parent (only >= 0 without a parent). The
    // result is tagged with the parent's window (WINDOW_UNDEFINED without one).
    bool ToParentWindow(const Coords& pixel, Coords* parentpixel, bool check) const
    {
        using namespace windowbinning_detail;
        const int64_t px = static_cast<int64_t>(pixel.x) * m_binning.x + m_offset.x;
        const int64_t py = static_cast<int64_t>(pixel.y) * m_binning.y + m_offset.y;
        parentpixel->x          = SaturateToInt(px);
        parentpixel->y          = SaturateToInt(py);
        parentpixel->windowtype = (m_parent != nullptr) ? m_parent->m_windowtype : WINDOW_UNDEFINED;
        if (!FitsInt(px) || !FitsInt(py)) return false;
        if (!check) return true;
        bool inside = px >= 0 && py >= 0;
        if (m_parent != nullptr) inside = inside && px < m_parent->Numx() && py < m_parent->Numy();
        return inside;
    }

    // The pixel of this window that holds a parent pixel, by integer division
    // truncating toward zero. With `check`, true only if the pixel lies inside
    // this window and the parent pixel is not before the offset (truncation
    // alone would map up to one bin before the offset to 0). The position is
    // written even when it lies outside.
    bool FromParentWindow(const Coords& parentpixel, Coords* pixel, bool check) const
    {
        using namespace windowbinning_detail;
        const int64_t dx = static_cast<int64_t>(parentpixel.x) - m_offset.x;
        const int64_t dy = static_cast<int64_t>(parentpixel.y) - m_offset.y;
        bool          ok = true;
        int64_t       qx = -9999;
        int64_t       qy = -9999;
        if (m_binning.x != 0) qx = dx / m_binning.x;
        else ok = false;
        if (m_binning.y != 0) qy = dy / m_binning.y;
        else ok = false;
        ok = ok && FitsInt(qx) && FitsInt(qy);
        pixel->x          = SaturateToInt(qx);
        pixel->y          = SaturateToInt(qy);
        pixel->windowtype = m_windowtype;
        if (!ok) return false;
        if (!check) return true;
        return qx < m_size.x && qy < m_size.y && qx >= 0 && qy >= 0 && dx >= 0 && dy >= 0;
    }

    // Fractional position in the parent. Always true.
    bool ToParentWindow(double x, double y, double* px, double* py) const
    {
        *px = m_offset.x + static_cast<double>(m_binning.x) * x;
        *py = m_offset.y + static_cast<double>(m_binning.y) * y;
        return true;
    }

    // Fractional position in this window. False, with -9999 on that axis, when
    // a binning is zero; true otherwise.
    bool FromParentWindow(double px, double py, double* x, double* y) const
    {
        bool ok = true;
        if (m_binning.x != 0) *x = (px - m_offset.x) / m_binning.x;
        else { *x = -9999.0; ok = false; }
        if (m_binning.y != 0) *y = (py - m_offset.y) / m_binning.y;
        else { *y = -9999.0; ok = false; }
        return ok;
    }

    // x * Numy() + y: y varies fastest. Saturated when it does not fit an int.
    int FlatIndex(const Coords& pixel) const
    {
        return windowbinning_detail::SaturateToInt(static_cast<int64_t>(pixel.x) * m_size.y + pixel.y);
    }

    // The direct mapping from this window to its ancestor `target` (or to
    // itself), written into `result`: offset and binning in target pixels,
    // this window's type and size, parent `target`. If `target` is not met on
    // the way up (a null target never is), logs a warning, leaves the offset and
    // binning of the whole chain with size (-9999, -9999), type
    // WINDOW_UNDEFINED and no parent, and returns false. `result` may be this
    // mapping itself.
    bool CreateMappingToUpperLevel(const WindowMapping* target, WindowMapping* result) const;
};

// The fixed chain of windows of one request, from the full convolution area to
// the L1C image, and the direct L1C-to-detector mapping. The levels point at
// each other, so the object stays where it was built.
class WindowMappingHierarchy
{
  private:
    WindowMapping m_fullconv;
    WindowMapping m_noof;
    WindowMapping m_detector;
    WindowMapping m_science;
    WindowMapping m_l1b;
    WindowMapping m_l1c;
    WindowMapping m_l1c_detector_mapping;

  public:
    WindowMappingHierarchy(int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx,
                           int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy, int LBINx, int LBINy,
                           int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky);

    WindowMappingHierarchy(const WindowMappingHierarchy&)            = delete;
    WindowMappingHierarchy(WindowMappingHierarchy&&)                 = delete;
    WindowMappingHierarchy& operator=(const WindowMappingHierarchy&) = delete;
    WindowMappingHierarchy& operator=(WindowMappingHierarchy&&)      = delete;

    const WindowMapping& FullConv() const { return m_fullconv; }
    const WindowMapping& Noof() const { return m_noof; }
    const WindowMapping& Detector() const { return m_detector; }
    const WindowMapping& Science() const { return m_science; }
    const WindowMapping& L1B() const { return m_l1b; }
    const WindowMapping& L1C() const { return m_l1c; }
    const WindowMapping& L1CDetectorMapping() const { return m_l1c_detector_mapping; }

    // from.CreateMappingToUpperLevel(&to, ...) into a new mapping.
    WindowMapping CreateMappingToUpperLevel(const WindowMapping& from, const WindowMapping& to) const;
};

// Flat numbering of the pixels of an L1C-level window (x * Numy + y), with the
// lookup from a pixel of one of its ancestors (in the system, the detector).
class L1cFlatIndexer
{
  private:
    WindowMapping m_mapping;
    int           m_flatsize;
    int           m_numy;

  public:
    // If `ancestor` is not an ancestor of `l1c`, the composition logs its
    // warning and the indexer has no pixels (flat size 0, stride 0).
    L1cFlatIndexer(const WindowMapping& l1c, const WindowMapping& ancestor);

    const WindowMapping& Mapping() const { return m_mapping; }
    int                  FlatSize() const { return m_flatsize; }
    int                  FlatIndex(const Coords& l1cpixel) const
    {
        return windowbinning_detail::SaturateToInt(static_cast<int64_t>(l1cpixel.x) * m_numy + l1cpixel.y);
    }
    // The flat index of the L1C pixel holding `detectorpixel`, or -1 when the
    // conversion fails. Returns the conversion's result.
    bool FlatIndexFromDetectorPixel(const Coords& detectorpixel, int* flatindex, bool check) const
    {
        Coords l1cpixel(m_mapping.WindowType());
        const bool ok = m_mapping.FromParentWindow(detectorpixel, &l1cpixel, check);
        *flatindex    = ok ? FlatIndex(l1cpixel) : -1;
        return ok;
    }
};
