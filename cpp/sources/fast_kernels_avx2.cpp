// The fast-build kernels for processors with AVX2 and FMA. This file alone is
// compiled with -mavx2 -mfma (see CMakeLists.txt). It defines no code that
// runs unless its kernels are called: it includes nothing that defines inline
// functions (which the linker could pick for portable code elsewhere), and it
// exports only a constant table, which the portable code hands out after
// checking the processor (fast_kernels_sse2.cpp).
#include "fast_kernels.h"

namespace fastbuild {

#if defined(__AVX2__) && defined(__FMA__)
namespace {
namespace avx2 {
#include "fast_kernels.inc"
}   // namespace avx2

const Kernels kAvx2 = {"avx2", avx2::Combine, avx2::Add, avx2::Distribute, avx2::CombineAdd, avx2::CombineRows};
}   // namespace

extern const Kernels* const kAvx2KernelTable = &kAvx2;
#else
extern const Kernels* const kAvx2KernelTable = nullptr;
#endif

}   // namespace fastbuild
