// velmora._native: the two matrix builds for the velmora package, one build
// request per call.
//
// Nothing here touches a process-wide setting or prints. A call:
// - takes the inputs as NumPy arrays of the right type and layout (the package
//   makes them so) and the caller's output matrix, which is written in place;
// - runs the build as serve.h runs every native call of the package: with the
//   interpreter lock released, on one of the module's build threads, signals
//   and the progress callback served on the calling thread; an exception from
//   either cancels the build at its next work-item boundary and is raised once
//   the build has stopped, with the output matrix zeroed (a build that
//   finished before it saw the cancel, as when the callback raises at its last
//   row, has filled it);
// - returns (ok, records, report): the build's records as (status, text)
//   pairs, in the order they were made, and what the build did.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "build_request.h"
#include "request_entries.h"
#include "serve.h"

namespace nb = nanobind;

namespace {

using InArray3 = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using InArray2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using InIndex3 = nb::ndarray<const int32_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using InSpecs  = nb::ndarray<const int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using OutArray = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// The records of one build, from every thread of its team.
class RecordList : public nxRecordSink
{
  private:
    std::mutex                               m_mutex;
    std::vector<std::pair<int, std::string>> m_records;

  public:
    void Add(int status, const char* text) override
    {
        try {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_records.emplace_back(status, text);
        } catch (...) {   // a record that cannot be stored is lost, never thrown into a build
        }
    }
    std::vector<std::pair<int, std::string>>& Records() { return m_records; }
};

const char* OutcomeName(TORVEN_BuildOutcome o)
{
    switch (o) {
        case TORVEN_BuildOutcome::succeeded: return "succeeded";
        case TORVEN_BuildOutcome::failed: return "failed";
        case TORVEN_BuildOutcome::cancelled: return "cancelled";
        default: return "not run";
    }
}

nb::dict ReportDict(const TORVEN_BuildReport& r)
{
    nb::dict d;
    d["outcome"]       = OutcomeName(r.outcome);
    d["fast_path"]     = r.fast_path;
    d["threads"]       = r.threads;
    d["seconds"]       = r.seconds;
    d["table_seconds"] = r.table_seconds;
    d["table_bytes"]   = r.table_bytes;
    d["multiply_adds"] = r.multiply_adds;
    d["kernel"]        = r.kernel;
    d["work_items"]    = r.work_items;
    d["items_done"]    = r.items_done;
    return d;
}

int Dim(size_t n)
{
    if (n > (size_t)INT32_MAX) throw nb::value_error("an array dimension does not fit a 32-bit signed integer");
    return (int)n;
}

TORVEN_BuildOptions Options(bool use_simpsons, bool lower_edge, int rows_below, int rows_above, int threads,
                            bool diagnostic, const std::string& version, bool per_pixel, int column_begin,
                            int column_end, bool out_zeroed)
{
    TORVEN_BuildOptions o;
    o.use_simpsons = use_simpsons;
    o.lower_edge   = lower_edge;
    o.rows_below   = rows_below;
    o.rows_above   = rows_above;
    o.threads      = threads;
    o.diagnostic   = diagnostic;
    o.version      = version;
    o.per_pixel    = per_pixel;
    o.column_begin = column_begin;
    o.column_end   = column_end;
    o.out_zeroed   = out_zeroed;
    TORVEN_ApplyKernelEnvironment(&o);
    return o;
}

// Runs `build` (a callable taking the request) on a thread of its own with the
// interpreter lock released, serving signals and the progress callback on the
// calling thread. `rows` is the number of rows of work the callback counts;
// `matrix` and `count` are the output the build writes and its elements.
template <class Build>
nb::tuple Serve(TORVEN_BuildRequest& request, nb::object progress, int rows, double* matrix, size_t count,
                Build build)
{
    RecordList records;
    request.sink = &records;
    std::optional<nb::python_error> pending;   // raised after the build has stopped
    const bool ok = velmora_binding::RunServed(request, progress, rows, build, &pending);
    request.sink = nullptr;
    if (pending) {
        // A cancelled or failed build has zeroed the output itself; one that
        // succeeded before it saw the cancel has filled it, and a call that
        // raises hands out no matrix.
        if (ok) {
            nb::gil_scoped_release unlocked;
            request.ClearOutput(matrix, count);
        }
        throw std::move(*pending);
    }
    nb::list out;
    for (auto& r : records.Records()) out.append(nb::make_tuple(r.first, nb::str(r.second.c_str(), r.second.size())));
    return nb::make_tuple(ok, out, ReportDict(request.report));
}

nb::tuple BuildInfield(InSpecs specs, InArray3 images, InArray2 centres, InArray3 coefficients, InIndex3 indices,
                       OutArray out, bool use_simpsons, bool lower_edge, int rows_below, int rows_above, int threads,
                       bool diagnostic, const std::string& version, nb::object progress, int rows,
                       bool per_pixel, int column_begin, int column_end, bool out_zeroed)
{
    TORVEN_BuildRequest request(Options(use_simpsons, lower_edge, rows_below, rows_above, threads, diagnostic,
                                        version, per_pixel, column_begin, column_end, out_zeroed));
    const int ns = Dim(specs.shape(0));
    const int m = Dim(images.shape(0)), nx = Dim(images.shape(1)), ny = Dim(images.shape(2));
    const int c0 = Dim(centres.shape(0)), c1 = Dim(centres.shape(1));
    const int k0 = Dim(coefficients.shape(0)), k1 = Dim(coefficients.shape(1)), k2 = Dim(coefficients.shape(2));
    const int i0 = Dim(indices.shape(0)), i1 = Dim(indices.shape(1)), i2 = Dim(indices.shape(2));
    const int a0 = Dim(out.shape(0)), a1 = Dim(out.shape(1));
    int*      sp = const_cast<int*>(specs.data());
    double*   im = const_cast<double*>(images.data());
    double*   ce = const_cast<double*>(centres.data());
    double*   co = const_cast<double*>(coefficients.data());
    int*      in = const_cast<int*>(indices.data());
    double*   o  = out.data();
    return Serve(request, progress, rows, o, (size_t)a0 * (size_t)a1, [=](TORVEN_BuildRequest& r) {
        return torven_entry_create_deconvolution(r, sp, ns, im, m, nx, ny, ce, c0, c1, co, k0, k1, k2, in, i0, i1,
                                                 i2, o, a0, a1);
    });
}

nb::tuple BuildStrayLight(InSpecs specs, InArray2 vignetting, InArray3 images, InArray2 centres,
                          InArray3 coefficients, InIndex3 indices, OutArray out, int delta_nx, int delta_ny,
                          int delta_sx, int delta_sy, int threads, bool diagnostic, const std::string& version,
                          nb::object progress, int rows, bool per_pixel, int column_begin, int column_end,
                          bool out_zeroed)
{
    TORVEN_BuildRequest request(
        Options(true, true, 42, 42, threads, diagnostic, version, per_pixel, column_begin, column_end, out_zeroed));
    const int ns = Dim(specs.shape(0));
    const int v0 = Dim(vignetting.shape(0)), v1 = Dim(vignetting.shape(1));
    const int m = Dim(images.shape(0)), nx = Dim(images.shape(1)), ny = Dim(images.shape(2));
    const int c0 = Dim(centres.shape(0)), c1 = Dim(centres.shape(1));
    const int k0 = Dim(coefficients.shape(0)), k1 = Dim(coefficients.shape(1)), k2 = Dim(coefficients.shape(2));
    const int i0 = Dim(indices.shape(0)), i1 = Dim(indices.shape(1)), i2 = Dim(indices.shape(2));
    const int a0 = Dim(out.shape(0)), a1 = Dim(out.shape(1));
    int*      sp = const_cast<int*>(specs.data());
    double*   vi = const_cast<double*>(vignetting.data());
    double*   im = const_cast<double*>(images.data());
    double*   ce = const_cast<double*>(centres.data());
    double*   co = const_cast<double*>(coefficients.data());
    int*      in = const_cast<int*>(indices.data());
    double*   o  = out.data();
    return Serve(request, progress, rows, o, (size_t)a0 * (size_t)a1, [=](TORVEN_BuildRequest& r) {
        return torven_entry_create_horizontal_stray_light_matrix(r, sp, ns, vi, v0, v1, im, m, nx, ny, ce, c0, c1,
                                                                 co, k0, k1, k2, in, i0, i1, i2, o, a0, a1,
                                                                 delta_nx, delta_ny, delta_sx, delta_sy);
    });
}

}   // namespace

void RegisterTables(nb::module_& m);   // native_tables.cpp

NB_MODULE(_native, m)
{
    RegisterTables(m);
    m.doc() = "Native matrix builds of the velmora package (private: use velmora.infield_matrix and "
              "velmora.stray_light_matrix).";
    m.def("build_infield", &BuildInfield, nb::arg("specs"), nb::arg("images"), nb::arg("centres"),
          nb::arg("coefficients"), nb::arg("indices"), nb::arg("out").noconvert(), nb::kw_only(),
          nb::arg("use_simpsons"), nb::arg("lower_edge"), nb::arg("rows_below"), nb::arg("rows_above"),
          nb::arg("threads"), nb::arg("diagnostic"), nb::arg("version"), nb::arg("progress").none(),
          nb::arg("rows"), nb::arg("per_pixel") = false, nb::arg("column_begin") = 0, nb::arg("column_end") = -1,
          nb::arg("out_zeroed") = false,
          "Build the in-field matrix into `out` (the rows of the L1C columns [column_begin, column_end), all "
          "by default); returns (ok, records, report).");
    m.def("build_stray_light", &BuildStrayLight, nb::arg("specs"), nb::arg("vignetting"), nb::arg("images"),
          nb::arg("centres"), nb::arg("coefficients"), nb::arg("indices"), nb::arg("out").noconvert(),
          nb::arg("delta_nx"), nb::arg("delta_ny"), nb::arg("delta_sx"), nb::arg("delta_sy"), nb::kw_only(),
          nb::arg("threads"), nb::arg("diagnostic"), nb::arg("version"), nb::arg("progress").none(),
          nb::arg("rows"), nb::arg("per_pixel") = false, nb::arg("column_begin") = 0, nb::arg("column_end") = -1,
          nb::arg("out_zeroed") = false,
          "Build the horizontal stray-light matrix into `out` (the rows of the L1C columns [column_begin, "
          "column_end), all by default); returns (ok, records, report).");
    m.def("forked_child", &TORVEN_InForkedChild,
          "Whether this process is the child of a fork, where builds run with one thread.");
}
