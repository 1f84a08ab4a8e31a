// velmora._native: the kernel tables of the forward model (velmora.model).
//
// Each call builds the tables of one model as serve.h runs native work (the
// interpreter lock released, signals served on the calling thread: Ctrl-C
// stops the build at its next work item and raises KeyboardInterrupt, with no
// table handed out) and hands them back as NumPy arrays that own their memory.
// A request the tables cannot describe raises ValueError with the reason.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "instrument.h"
#include "kernel_tables.h"
#include "serve.h"

namespace nb = nanobind;

namespace {

using InArray3 = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using InArray2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using InIndex3 = nb::ndarray<const int32_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using InSpecs  = nb::ndarray<const int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

int Dim(size_t n)
{
    if (n > (size_t)INT32_MAX) throw nb::value_error("an array dimension does not fit a 32-bit signed integer");
    return (int)n;
}

// A NumPy array that owns `values`, of the given shape (whose product is its size).
template <class T>
nb::ndarray<nb::numpy, T> Owned(std::vector<T>&& values, std::initializer_list<int64_t> dims)
{
    std::vector<size_t> shape;
    size_t              total = 1;
    for (int64_t d : dims) {
        shape.push_back((size_t)(d < 0 ? 0 : d));
        total *= shape.back();
    }
    if (total != values.size()) throw nb::value_error("internal error: a table does not have its shape");
    auto*       held = new std::vector<T>(std::move(values));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(held->data(), shape.size(), shape.data(), owner);
}

velmora::PsfArrays Arrays(const InArray3& images, const InArray2& centres, const InArray3& coefficients,
                          const InIndex3& indices)
{
    velmora::PsfArrays a;
    a.images       = images.data();
    a.M            = Dim(images.shape(0));
    a.Nx           = Dim(images.shape(1));
    a.Ny           = Dim(images.shape(2));
    a.centres      = centres.data();
    a.centres0     = Dim(centres.shape(0));
    a.centres1     = Dim(centres.shape(1));
    a.coefficients = coefficients.data();
    a.c0 = Dim(coefficients.shape(0)), a.c1 = Dim(coefficients.shape(1)), a.c2 = Dim(coefficients.shape(2));
    a.indices = indices.data();
    a.i0 = Dim(indices.shape(0)), a.i1 = Dim(indices.shape(1)), a.i2 = Dim(indices.shape(2));
    return a;
}

// Runs `build` (taking the request, returning its result) as serve.h runs
// native work; raises what interrupted it, or nothing.
template <class Build>
bool Served(int threads, Build build)
{
    TORVEN_BuildRequest request;
    request.options.threads = threads;
    std::optional<nb::python_error> pending;
    const bool ok = velmora_binding::RunServed(request, nb::none(), 0, build, &pending);
    if (pending) throw std::move(*pending);
    return ok;
}

nb::dict InfieldKernels(InSpecs specs, InArray3 images, InArray2 centres, InArray3 coefficients, InIndex3 indices,
                        bool quadratic, bool lower_edge, int rows_below, int rows_above, int threads)
{
    velmora::Instrument in;
    std::string         error;
    if (!velmora::Instrument::Make(specs.data(), Dim(specs.shape(0)), Arrays(images, centres, coefficients, indices),
                                   velmora::WindowSpec::Tables::detector, &in, &error))
        throw nb::value_error(error.c_str());
    velmora::InfieldOptions options;
    options.use_simpsons = quadratic;
    options.lower_edge   = lower_edge;
    options.rows_below   = rows_below;
    options.rows_above   = rows_above;
    TORVEN_InfieldKernels k;
    const bool            ok = Served(threads, [&](TORVEN_BuildRequest& request) {
        return TORVEN_BuildInfieldKernels(in, options, threads, &request, &k, &error);
    });
    if (!ok) throw nb::value_error(error.c_str());
    const int64_t ns = k.nslots, nI = k.ihi - k.ilo + 1, nJ = k.jhi - k.jlo + 1;
    const int64_t nk = k.klast - k.kfirst + 1, neI = k.eihi - k.eilo + 1;
    nb::dict d;
    d["shape"]       = nb::make_tuple(k.Kx, k.Ky, k.Bx, k.By);
    d["quadratic"]   = k.quadratic;
    d["scale"]       = k.scale;
    d["psf_of_slot"] = Owned(std::move(k.psf_of_slot), {ns});
    d["offsets"]     = nb::make_tuple(k.ilo, k.jlo);
    d["binned"]      = Owned(std::move(k.binned), {ns, k.Bx, k.By, nI > 0 && nJ > 0 ? nI : 0, nI > 0 && nJ > 0 ? nJ : 0});
    d["weights"]     = Owned(std::move(k.weights), {ns, k.Bx, k.By, k.Kx, k.Ky});
    d["row_weights"] = Owned(std::move(k.row_weights), {k.By, 3});
    d["edge_rows"]   = nb::make_tuple(k.kfirst, k.klast);
    d["edge_offset"] = k.eilo;
    const bool edge  = nk > 0 && neI > 0 && k.nJe > 0;
    d["edge"]        = Owned(std::move(k.edge), {ns, k.Bx, edge ? nk : 0, edge ? neI : 0, edge ? k.nJe : 0});
    d["edge_weights"] = Owned(std::move(k.edge_weights), {ns, k.Bx, edge ? nk : 0, edge ? k.Kx : 0});
    return d;
}

nb::dict StrayKernels(InSpecs specs, InArray2 vignetting, InArray3 images, InArray2 centres, InArray3 coefficients,
                      InIndex3 indices, int delta_nx, int delta_ny, int delta_sx, int delta_sy, int threads,
                      bool exact, double max_exact_bytes)
{
    const int nspecs = Dim(specs.shape(0));
    // The vignetting image is (NOOFx, NOOFy) as the builds read it, or empty.
    const double* vig = nullptr;
    if (vignetting.size() > 0) {
        const bool                whole = nspecs == velmora::WindowSpec::kCount;
        const velmora::WindowSpec w     = whole ? velmora::WindowSpec::FromArray(specs.data()) : velmora::WindowSpec();
        const int                 noofx = whole ? w.NOOFx() : -1, noofy = whole ? w.NOOFy() : -1;
        if ((int64_t)vignetting.shape(0) != noofx || (int64_t)vignetting.shape(1) != noofy)
            throw nb::value_error("the vignetting array does not have the (NOOFx, NOOFy) shape of the NOOF window");
        vig = vignetting.data();
    }
    velmora::Instrument in;
    std::string         error;
    if (!velmora::Instrument::Make(specs.data(), nspecs, Arrays(images, centres, coefficients, indices),
                                   velmora::WindowSpec::Tables::noof, &in, &error))
        throw nb::value_error(error.c_str());
    velmora::StrayOptions steps;
    steps.delta_nx = delta_nx, steps.delta_ny = delta_ny, steps.delta_sx = delta_sx, steps.delta_sy = delta_sy;
    TORVEN_StrayKernels k;
    bool                memory = false;
    const bool          ok     = Served(threads, [&](TORVEN_BuildRequest& request) {
        return TORVEN_BuildStrayKernels(in, vig, steps, threads, exact, max_exact_bytes, &request, &k, &error,
                                                     &memory);
    });
    if (!ok && memory) {
        PyErr_SetString(PyExc_MemoryError, error.c_str());
        throw nb::python_error();
    }
    if (!ok) throw nb::value_error(error.c_str());
    const int64_t F = in.Windows().F();
    const int64_t nrows = (int64_t)k.row_y.size(), ncols = (int64_t)k.col_x.size(), ns = k.nslots;
    const int64_t na = (int64_t)k.recv_x.size(), nb_ = (int64_t)k.recv_y.size(), ne = (int64_t)k.exact_sources.size();
    nb::dict d;
    d["scale"]         = k.scale;
    d["row_y"]         = Owned(std::move(k.row_y), {nrows});
    d["ends"]          = Owned(std::move(k.ends), {nrows, 2});
    d["col_x"]         = Owned(std::move(k.col_x), {ncols});
    d["col_side"]      = Owned(std::move(k.col_side), {ncols});
    d["psf_of_slot"]   = Owned(std::move(k.psf_of_slot), {ns});
    d["weights"]       = Owned(std::move(k.weights), {ns, ncols, nrows});
    d["recv_x"]        = Owned(std::move(k.recv_x), {na});
    d["recv_y"]        = Owned(std::move(k.recv_y), {nb_});
    d["recv_r"]        = Owned(std::move(k.recv_r), {na, nb_});
    d["offsets"]       = nb::make_tuple(k.dx0, k.dy0);
    d["tables"]        = Owned(std::move(k.tables), {ns, k.ndx, k.ndy});
    d["exact_sources"] = Owned(std::move(k.exact_sources), {ne});
    d["exact_rows"]    = Owned(std::move(k.exact_rows), {ne, F});
    const int64_t n    = (int64_t)k.sources.size();
    d["sources"]       = Owned(std::move(k.sources), {n});
    d["diagonal"]      = Owned(std::move(k.diagonal), {n});
    return d;
}

}   // namespace

void RegisterTables(nb::module_& m)
{
    m.def("infield_kernels", &InfieldKernels, nb::arg("specs"), nb::arg("images"), nb::arg("centres"),
          nb::arg("coefficients"), nb::arg("indices"), nb::kw_only(), nb::arg("quadratic"), nb::arg("lower_edge"),
          nb::arg("rows_below"), nb::arg("rows_above"), nb::arg("threads"),
          "The binned tables, weights and lower-edge tables of the in-field matrix, as a dict of arrays.");
    m.def("stray_kernels", &StrayKernels, nb::arg("specs"), nb::arg("vignetting"), nb::arg("images"),
          nb::arg("centres"), nb::arg("coefficients"), nb::arg("indices"), nb::arg("delta_nx"), nb::arg("delta_ny"),
          nb::arg("delta_sx"), nb::arg("delta_sy"), nb::kw_only(), nb::arg("threads"), nb::arg("exact") = false,
          nb::arg("max_exact_bytes") = 1e300,
          "The stray-light matrix in convolution form: weight images of the sources per PSF, the sampled "
          "receivers, the PSF tables, the rows of the sources evaluated exactly and the diagonal, as a dict of "
          "arrays. Raises MemoryError when the exact rows exceed max_exact_bytes or memory runs out.");
}
