#include "windowbinning.h"

#include "nxlog.h"

using windowbinning_detail::SaturateToInt;

WindowMappingType WindowMappingType_From_Integer(int value)
{
    switch (value)
    {
    case WINDOW_NOOF: return WINDOW_NOOF;
    case WINDOW_DETECTOR: return WINDOW_DETECTOR;
    case WINDOW_SCIENCE: return WINDOW_SCIENCE;
    case WINDOW_L1B: return WINDOW_L1B;
    case WINDOW_L1C: return WINDOW_L1C;
    default: return WINDOW_UNDEFINED;
    }
}

bool WindowMapping::CreateMappingToUpperLevel(const WindowMapping* target, WindowMapping* result) const
{
    // Accumulate p_target = p * binning + offset link by link. Each step is
    // done in 64 bits and saturated back to an int, so a chain whose values fit
    // an int composes exactly and any other chain gives defined values.
    int ofsx = 0;
    int ofsy = 0;
    int binx = 1;
    int biny = 1;

    const WindowMapping* m = this;
    while (m != nullptr && m != target)
    {
        ofsx = SaturateToInt(static_cast<int64_t>(ofsx) * m->m_binning.x + m->m_offset.x);
        ofsy = SaturateToInt(static_cast<int64_t>(ofsy) * m->m_binning.y + m->m_offset.y);
        binx = SaturateToInt(static_cast<int64_t>(binx) * m->m_binning.x);
        biny = SaturateToInt(static_cast<int64_t>(biny) * m->m_binning.y);
        m    = m->m_parent;
    }
    const bool found = (m != nullptr);   // the loop only stops early on meeting target

    // Read everything from this mapping before writing: result may be this.
    const WindowMappingType type  = m_windowtype;
    const int               numx  = m_size.x;
    const int               numy  = m_size.y;

    result->m_offset  = Coords(ofsy, ofsx, WINDOW_UNDEFINED);
    result->m_binning = Coords(biny, binx, WINDOW_UNDEFINED);
    if (found)
    {
        result->m_windowtype = type;
        result->m_size.x     = numx;
        result->m_size.y     = numy;
        result->m_parent     = target;
        return true;
    }
    NXLOG_RECORD(nxlog_warning, "WindowMapping::MappingToUpperLevel, failed to find target parent during ascent of "
                                "linked list");
    result->m_windowtype = WINDOW_UNDEFINED;
    result->m_size.x     = -9999;
    result->m_size.y     = -9999;
    result->m_parent     = nullptr;
    return false;
}

WindowMappingHierarchy::WindowMappingHierarchy(int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx,
                                               int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx,
                                               int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly,
                                               int KBINx, int KBINy, int Kx, int Ky)
    // Offsets and binnings are counted in the parent's pixels and tagged so;
    // sizes in the level's own.
    : m_fullconv(WINDOW_FULLCONV, Coords(0, 0, WINDOW_FULLCONV), Coords(1, 1, WINDOW_FULLCONV),
                 Coords(FULLCONVy, FULLCONVx, WINDOW_FULLCONV), nullptr),
      m_noof(WINDOW_NOOF, Coords(NOFSy, NOFSx, WINDOW_FULLCONV), Coords(1, 1, WINDOW_FULLCONV),
             Coords(NOOFy, NOOFx, WINDOW_NOOF), &m_fullconv),
      m_detector(WINDOW_DETECTOR, Coords(DOFSy, DOFSx, WINDOW_NOOF), Coords(1, 1, WINDOW_NOOF),
                 Coords(Dy, Dx, WINDOW_DETECTOR), &m_noof),
      m_science(WINDOW_SCIENCE, Coords(SOFSy, SOFSx, WINDOW_DETECTOR), Coords(1, 1, WINDOW_DETECTOR),
                Coords(Sy, Sx, WINDOW_SCIENCE), &m_detector),
      m_l1b(WINDOW_L1B, Coords(0, 0, WINDOW_SCIENCE), Coords(LBINy, LBINx, WINDOW_SCIENCE), Coords(Ly, Lx, WINDOW_L1B),
            &m_science),
      m_l1c(WINDOW_L1C, Coords(0, 0, WINDOW_L1B), Coords(KBINy, KBINx, WINDOW_L1B), Coords(Ky, Kx, WINDOW_L1C), &m_l1b),
      m_l1c_detector_mapping(WINDOW_UNDEFINED)
{
    m_l1c.CreateMappingToUpperLevel(&m_detector, &m_l1c_detector_mapping);
}

WindowMapping WindowMappingHierarchy::CreateMappingToUpperLevel(const WindowMapping& from,
                                                                const WindowMapping& to) const
{
    WindowMapping result(WINDOW_UNDEFINED);
    from.CreateMappingToUpperLevel(&to, &result);
    return result;
}

L1cFlatIndexer::L1cFlatIndexer(const WindowMapping& l1c, const WindowMapping& ancestor)
    : m_mapping(WINDOW_UNDEFINED), m_flatsize(0), m_numy(0)
{
    if (l1c.CreateMappingToUpperLevel(&ancestor, &m_mapping))
    {
        m_flatsize = SaturateToInt(static_cast<int64_t>(m_mapping.Numx()) * m_mapping.Numy());
        m_numy     = m_mapping.Numy();
    }
}
