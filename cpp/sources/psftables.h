#pragma once
// The PSF model: the table of measured PSFs with their per-pixel interpolation
// tables, and the interpolated PSF of a point source at any pixel.
#include <vector>

#include "nxarraylinear.h"
#include "windowbinning.h"

class TORVEN_PSF_Table;

// One measured PSF: an image sampled on the working window's pitch, sharing the
// caller's buffer, with its centre as a fractional array position.
class TORVEN_PSF_Entry
{
  private:
    WindowMappingType m_working_centre_locn_format;
    FloatCoords       m_centre;
    WindowMappingType m_centre_windowtype;
    bool              m_centre_on_sample;
    Coords            m_size;   // x: samples along x, y: samples along y
    nx2dArray<double> m_psf;    // element (x, y) is m_psf.at(y, x)

  public:
    TORVEN_PSF_Entry();

    bool Configure(WindowMappingType workingtype, const nx2dArray<double>& image, FloatCoords centre,
                   WindowMappingType centretype);

    // The value of this PSF at the whole-pixel offset of `working_location`
    // from `working_psf_centre`; 0 outside the image.
    double OffsetedValue(const Coords& working_location, const Coords& working_psf_centre) const;
    // out[k] = OffsetedValue of the location `first` moved k pixels along y,
    // for k < n: one column of offsets at a time.
    void OffsetedColumn(const Coords& first, int n, const Coords& working_psf_centre, double* out) const;

    const FloatCoords& Centre() const { return m_centre; }
    bool               CentreOnSample() const { return m_centre_on_sample; }
    WindowMappingType  CentreWindowType() const { return m_centre_windowtype; }
    WindowMappingType  WorkingWindowType() const { return m_working_centre_locn_format; }
    const Coords&      Size() const { return m_size; }
    const nx2dArray<double>& Image() const { return m_psf; }
};

// The list of measured PSFs that make up the PSF at one centre pixel: the
// non-zero coefficients and the indices of their PSFs. Sized once (100
// coefficients) and refilled in place, so a new centre costs no allocation.
class TORVEN_PSF_InterpolationCoeffs
{
  public:
    enum { MAX_COEFFS = 100 };

  private:
    Coords                  m_location;
    const TORVEN_PSF_Table* m_table;
    nx1dArray<double>       m_coeffvalues;
    nx1dArray<int>          m_psfindices;
    int                     m_numcoeffs;

  public:
    TORVEN_PSF_InterpolationCoeffs();

    bool InterpolatePsfArrayToPixelLocation(const Coords& location, const TORVEN_PSF_Table* table,
                                            const double* coefficients, const int* indices, int count);

    // The combined PSF of the held centre at `working_location`, for a source
    // centred at `working_psf_centre`.
    double PSF(const Coords& working_location, const Coords& working_psf_centre) const;

    const Coords& Location() const { return m_location; }
    int           NumCoeffs() const { return m_numcoeffs; }
    double        Coefficient(int j) const { return m_coeffvalues.UnsafeArrayBasePtr()[j]; }
    int           PsfIndex(int j) const { return m_psfindices.UnsafeArrayBasePtr()[j]; }
};

class TORVEN_PSF_Table
{
  private:
    std::vector<TORVEN_PSF_Entry> m_measuredpsfs;
    WindowMappingType             m_windowtype;
    const WindowMappingHierarchy* m_hierarchy;
    const nx3dArray<double>*      m_coefficients;
    const nx3dArray<int>*         m_indices;

    bool CheckPsfIndices(int numpsf) const;

  public:
    TORVEN_PSF_Table();

    // Loads the measured PSFs (shared, not copied) and keeps pointers to the
    // caller's coefficient and index tables, whose dimensions are (coefficient,
    // working-window y, working-window x). `windowtype` is the working window:
    // WINDOW_DETECTOR or WINDOW_NOOF.
    bool Initialize(const double** psfimages, int numpsf, int psf_Nx, int psf_Ny, WindowMappingType windowtype,
                    const WindowMappingHierarchy& hierarchy, const nx2dArray<double>& locations,
                    const nx3dArray<double>& coefficients, const nx3dArray<int>& indices);

    // Fills `coeffs` for a centre pixel in the working window or in the
    // detector window. False, without reading the tables and without a record,
    // when the centre lies outside the working window or the table is not
    // initialised.
    bool GetInterpolationCoefficientsForNewPSFCentre(const Coords& incoming_psf_central_core_pixel_location,
                                                     TORVEN_PSF_InterpolationCoeffs* coeffs) const;

    // A hint that the coefficients of a centre pixel in the working window
    // will be looked up soon: starts loading them into the caches. Reads and
    // changes nothing; pixels outside the working window are ignored. Lookups
    // along a row of the working window stride over whole columns of the
    // tables, which the processor does not foresee.
    void PrefetchCoefficients(const Coords& working_location) const;

    const WindowMappingHierarchy*        WindowHierarchy() const { return m_hierarchy; }
    const std::vector<TORVEN_PSF_Entry>& MeasuredPSFEntries() const { return m_measuredpsfs; }
    WindowMappingType                    WindowType() const { return m_windowtype; }
    const nx3dArray<double>*             Coefficients() const { return m_coefficients; }
    const nx3dArray<int>*                Indices() const { return m_indices; }
    // The working window (detector or NOOF level of the hierarchy), or null.
    const WindowMapping* WorkingWindow() const;
};
