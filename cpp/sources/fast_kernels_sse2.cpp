// The fast-build kernels for the library's portable target (SSE2 on x86-64),
// and the choice of kernels at run time.
#include <cstdlib>
#include <cstring>

#include "fast_kernels.h"

namespace fastbuild {
namespace {
namespace portable {
#include "fast_kernels.inc"
}   // namespace portable

const Kernels kPortable = {"sse2", portable::Combine, portable::Add, portable::Distribute, portable::CombineAdd, portable::CombineRows};
}   // namespace

// Defined in fast_kernels_avx2.cpp; null when the library was built without it.
extern const Kernels* const kAvx2KernelTable;

const Kernels* Sse2Kernels() { return &kPortable; }

const Kernels* Avx2Kernels()
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return supported ? kAvx2KernelTable : nullptr;
#else
    return kAvx2KernelTable;
#endif
}

const Kernels& SelectKernels(KernelTarget target)
{
    const Kernels* avx2 = Avx2Kernels();
    if ((target == KernelTarget::automatic || target == KernelTarget::avx2) && avx2 != nullptr) return *avx2;
    return kPortable;
}

KernelTarget KernelTargetFromEnvironment()
{
    const char* v = std::getenv("VELMORA_KERNEL");
    if (v == nullptr) return KernelTarget::automatic;
    if (std::strcmp(v, "sse2") == 0) return KernelTarget::sse2;
    if (std::strcmp(v, "avx2") == 0) return KernelTarget::avx2;
    if (std::strcmp(v, "per-pixel") == 0) return KernelTarget::per_pixel;
    return KernelTarget::automatic;
}

}   // namespace fastbuild
