#pragma once
// TORVEN_DeconvolutionMatrixGenerator: builds one convolution matrix for one
// request. The in-field build spreads every detector pixel of every source L1C
// pixel through its interpolated PSF over the science window; the horizontal
// stray-light build (torven_horizontal_deconvolution_matrix.cpp) spreads
// sampled NOOF pixels left and right of the science window.
//
// Matrix layout: F x F doubles, F = Kx * Ky, indexed (r, s) with r the
// receiving and s the source L1C pixel (flat index x * Ky + y); element (r, s)
// is at s * F + r, so the column of one source pixel is contiguous.
#include <list>

#include "nxlog.h"

#include "build_request.h"
#include "instrument.h"

#include "nxarraylinear.h"
#include "psftables.h"
#include "windowbinning.h"

class TORVEN_DeconvolutionMatrixGenerator
{
  private:
    bool                   m_option_use_simpsons;
    bool                   m_option_create_lower_edge_adjustment;
    nx2dArray<double>      m_deconvolution_matrix;
    WindowMappingHierarchy m_windows;
    L1cFlatIndexer         m_l1cindexer;
    WindowMapping          m_l1c_to_detector;
    TORVEN_PSF_Table       m_psftable;
    nx2dArray<int>         m_detector_to_l1c;   // (Sy, Sx), indexed (y, x)
    bool                   m_diagnostic;
    int                    m_rows_below_bottom_edge;
    int                    m_rows_above_bottom_edge;
    bool                   m_tableok;           // m_detector_to_l1c was allocated and filled
    TORVEN_BuildRequest*   m_request;           // the request this build serves

    // The flat index of the L1C pixel of science pixel (x, y), or -9999.
    int  L1cOfSciencePixel(int x, int y) const { return m_detector_to_l1c.UnsafeArrayBasePtr()[(size_t)x * (size_t)m_detector_to_l1c.XSize() + (size_t)y]; }
    // Whether `matrix` is a contiguous F x F matrix into which columns can be added.
    bool IsMatrixOfThisBuild(const nx2dArray<double>* matrix) const;
    template <class Add>
    void AddToReceivingPixels(const Coords& source, Add add);
    bool FinishPrivateMatrices(nx2dArray<double>* output, std::list<nx2dArray<double>*>& matrices,
                               bool success) const;

  public:
    TORVEN_DeconvolutionMatrixGenerator(int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy,
                                        int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
                                        int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky,
                                        double* matrixstorage, int KK, bool diagnostic, int rows_below_bottom_edge,
                                        int rows_above_bottom_edge);
    // The same from the windowing parameters as one value.
    TORVEN_DeconvolutionMatrixGenerator(const velmora::WindowSpec& w, double* matrixstorage, int KK, bool diagnostic,
                                        int rows_below_bottom_edge, int rows_above_bottom_edge)
        : TORVEN_DeconvolutionMatrixGenerator(w.FULLCONVx(), w.FULLCONVy(), w.NOFSx(), w.NOFSy(), w.NOOFx(), w.NOOFy(),
                                              w.DOFSx(), w.DOFSy(), w.Dx(), w.Dy(), w.SOFSx(), w.SOFSy(), w.Sx(),
                                              w.Sy(), w.LBINx(), w.LBINy(), w.Lx(), w.Ly(), w.KBINx(), w.KBINy(),
                                              w.Kx(), w.Ky(), matrixstorage, KK, diagnostic, rows_below_bottom_edge,
                                              rows_above_bottom_edge)
    {
    }
    TORVEN_DeconvolutionMatrixGenerator(const TORVEN_DeconvolutionMatrixGenerator&)            = delete;
    TORVEN_DeconvolutionMatrixGenerator& operator=(const TORVEN_DeconvolutionMatrixGenerator&) = delete;

    WindowMappingHierarchy* WindowHierachy() { return &m_windows; }
    TORVEN_PSF_Table*       PSF_Table() { return &m_psftable; }
    const WindowMappingHierarchy& Windows() const { return m_windows; }
    const TORVEN_PSF_Table&       PsfTable() const { return m_psftable; }
    // Number of lower-edge source rows (of the N_below below the bottom edge)
    // that lie outside the detector window and are skipped; the kept ones are
    // [*first, *last].
    int  LowerEdgeRowsOutsideDetector(int* first, int* last) const;
    const L1cFlatIndexer&   L1cIndexer() const { return m_l1cindexer; }
    const WindowMapping&    L1cToDetector() const { return m_l1c_to_detector; }
    const nx2dArray<int>&   DetectorToL1cTable() const { return m_detector_to_l1c; }
    const nx2dArray<double>& DeconvolutionMatrixView() const { return m_deconvolution_matrix; }
    int  FlatSize() const { return m_l1cindexer.FlatSize(); }
    bool UseSimpsons() const { return m_option_use_simpsons; }
    bool CreateLowerEdgeAdjustment() const { return m_option_create_lower_edge_adjustment; }
    int  RowsBelowBottomEdge() const { return m_rows_below_bottom_edge; }
    int  RowsAboveBottomEdge() const { return m_rows_above_bottom_edge; }
    bool Diagnostic() const { return m_diagnostic; }
    // The request whose sink, hook, team size and report the builds use; a
    // generator made without one uses TORVEN_DefaultRequest().
    void                 SetRequest(TORVEN_BuildRequest* request) { m_request = request ? request : &TORVEN_DefaultRequest(); }
    TORVEN_BuildRequest& Request() const { return *m_request; }
    // The team size of the parallel regions.
    int TeamSize() const;
    // The L1C columns [ColumnBegin(), ColumnEnd()) whose sources the build adds
    // (the request's column range, all Kx by default), and the rows of the
    // output that receives them: OutputRows() rows of F, the first of which is
    // row OutputRowOffset() of the whole matrix.
    int  ColumnBegin() const;
    int  ColumnEnd() const;
    int  OutputRows() const;
    int  OutputRowOffset() const;
    bool SourceColumnInRange(int x) const { return x >= ColumnBegin() && x < ColumnEnd(); }
    // Whether `output` is a contiguous F x OutputRows() matrix of this build.
    bool IsOutputOfThisBuild(const nx2dArray<double>* output) const;
    // The column of source s in `matrix` (a private F x F matrix, or the output
    // of the column range), or null where s has none there.
    double* SourceColumn(nx2dArray<double>* matrix, int s) const;

    // The records that open an in-field build (scheme, lower edge, windows),
    // written alike by the per-pixel and the fast build; `skipped` lower-edge
    // rows lie outside the detector window.
    void RecordInfieldBuild(int skipped) const;
    // The records that open a stray-light build (steps and vignetting); returns
    // whether the vignetting array is used.
    bool RecordStrayLightBuild(const nx2dArray<double>& vignetting, int delta_ny, int delta_nx, int delta_sy,
                               int delta_sx) const;
    // The end of a build that wrote `output` in place: a cancelled build leaves
    // it zero without an error record, a failed one zero with the error record.
    bool EndInPlaceBuild(nx2dArray<double>* output, bool success) const;

    bool set_option_use_simpsons(bool value)
    {
        m_option_use_simpsons = value;
        return true;
    }
    bool set_option_create_lower_edge_adjustment(bool value)
    {
        m_option_create_lower_edge_adjustment = value;
        return true;
    }
    bool MakeDetectorPixelToL1cFlatIndexTable();

    // The three weights of the quadratic scheme for a detector row at offset t
    // inside a source L1C pixel of B detector rows.
    static void SimpsonWeights(double t, double B, double* w_below, double* w_centre, double* w_above);

    // Column elements (in-field build).
    bool ProcessL1CPixelAsScatteringSource(int row, int column, nx2dArray<double>* matrix);
    bool GenerateMidpointColumnMatrixElements(int column, const Coords& source, nx2dArray<double>* matrix);
    bool GenerateSimpsonColumnMatrixElements(int column_below, int column_centre, int column_above, double offset,
                                             double rows_per_pixel, const Coords& source, nx2dArray<double>* matrix);

    // Lower-edge correction.
    bool AddBottomEdgeSourcePixelAdjustment(int column, nx2dArray<double>* matrix);
    bool GenerateColumnMatrixForBottomEdgeDetectorPixel(int column, const Coords& source, nx2dArray<double>* matrix);

    // Assembly.
    bool Create_Deconvolution_Matrix(nx2dArray<double>** matrix) const;
    bool CheckThreadSpecificAllocation(nx2dArray<double>** matrix, std::list<nx2dArray<double>*>& matrices);
    bool build_transfer_function(nx2dArray<double>* output);

    // Horizontal stray light.
    bool build_horizontal_stray_light(nx2dArray<double>* output, const nx2dArray<double>& vignetting, int delta_ny,
                                      int delta_nx, int delta_sy, int delta_sx);
    bool ProcessHorizontalStrayLightFromPixel(int y, int x, int delta_sy, int delta_sx, double source_area,
                                              int* columns, double* weights, int ncolumns,
                                              const double* vignetting_row, int num_vignetting,
                                              nx2dArray<double>* matrix) const;

    // The per-pixel builds, kept as the reference of the fast builds
    // (fast_infield.cpp, fast_straylight.cpp) and as their fallback: build_transfer_function and
    // build_horizontal_stray_light run the fast build where it applies and
    // these otherwise. Same arguments, records and results.
    bool build_transfer_function_reference(nx2dArray<double>* output);
    bool build_horizontal_stray_light_reference(nx2dArray<double>* output, const nx2dArray<double>& vignetting,
                                                int delta_ny, int delta_nx, int delta_sy, int delta_sx);
};
