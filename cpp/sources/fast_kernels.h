#pragma once
// The vector kernels of the fast builds, compiled once per instruction-set
// target (fast_kernels_sse2.cpp with the library's portable flags,
// fast_kernels_avx2.cpp with AVX2 and FMA) and chosen per build at run time.
//
// Every kernel computes each output element from the same element of its
// inputs alone, in a fixed order of operations, so a given target gives the
// same bits whatever the alignment of the data or the number of threads. The
// AVX2 target fuses each multiply-add into one rounding (FMA); its results
// differ from the SSE2 ones by rounding only.
//
// Nothing here is inline: the AVX2 translation unit must not emit any code
// that the linker could pick for the portable ones.
#include <cstddef>

#include "build_request.h"

namespace fastbuild {

// Which kernels a build runs. `automatic` takes the best one the processor
// supports; a target it does not support falls back to SSE2. `per_pixel` is
// not a kernel: it makes the fast builders decline, so that the per-pixel
// build runs (for comparisons through the public interface).
enum class KernelTarget { automatic, sse2, avx2, per_pixel };

struct Kernels
{
    const char* name;   // "sse2" or "avx2"
    // buf[e] = the sum over k, in order, of w[k] * t[k][off + e], for e < n; m >= 1.
    void (*combine)(const double* w, const double* const* t, int m, size_t off, int n, double* buf);
    // out[e] += buf[e], for e < n.
    void (*add)(double* out, const double* buf, int n);
    // Adds wb * buf, wc * buf and wa * buf, in this order, to the same rows of
    // the columns below, centre and above; the bottom and the top L1C rows are
    // their own lower and upper neighbours, so two or all three columns may be
    // one.
    void (*distribute)(double* ob, double* oc, double* oa, double wb, double wc, double wa, const double* buf, int n);
    // out[e] = the sum over k, in order, of w[k] * t[k][off + e], added to out[e]
    // first: out[e] + w[0] * t[0][off + e] + ..., for e < n; m >= 1.
    void (*combine_add)(const double* w, const double* const* t, int m, size_t off, int n, double* out);
    // Rows of `lead` zeros, then combine over n elements, then `trail` zeros,
    // for `rows` rows at once: row r reads the tables at off + r * tstride
    // and writes lead + n + trail elements from out + r * ostride.
    void (*combine_rows)(const double* w, const double* const* t, int m, size_t off, size_t tstride, int lead, int n,
                         int trail, int rows, double* out, size_t ostride);
};

// The kernels a build with `target` runs (never null).
const Kernels& SelectKernels(KernelTarget target);

// The target named by the environment variable VELMORA_KERNEL ("sse2",
// "avx2" or "per-pixel"); `automatic` when it is unset, empty or anything
// else. Read when a request is made (TORVEN_ApplyKernelEnvironment).
KernelTarget KernelTargetFromEnvironment();

// The target of a build request's options (their `kernel`).
inline KernelTarget KernelOfRequest(const TORVEN_BuildOptions& options)
{
    return (options.kernel == (int)KernelTarget::sse2 || options.kernel == (int)KernelTarget::avx2)
               ? (KernelTarget)options.kernel
               : KernelTarget::automatic;
}

// The kernels of each target, null when this build of the library or the
// processor does not have them.
const Kernels* Sse2Kernels();
const Kernels* Avx2Kernels();

}   // namespace fastbuild
