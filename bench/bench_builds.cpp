// One matrix build of one benchmark configuration, with the fast build or the
// per-pixel reference build, reporting time, memory and work as key=value
// lines. bench_builds.py runs every configuration with both builds, each in a
// fresh process, and prints the table.
//
//   bench_builds --list
//   bench_builds <configuration> <fast|reference> <threads> [matrix file]
//
// The build is called as the matrix service calls it: a generator built from
// the windowing parameters, its PSF table initialised, the default options
// (quadratic scheme, lower-edge correction with 42 rows above and below).
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "fast_tables.h"
#include "make_psfmatrix.h"
#include "nxlog.h"

namespace {

struct BenchConfig
{
    const char* name;
    bool        stray;   // the horizontal stray-light build, else the in-field build
    int         Kx, Ky;  // L1C pixels
    int         bin;     // detector pixels per L1C pixel along x and along y
    int         step;    // the four sampling steps of the stray-light build
};

const BenchConfig kConfigs[] = {
    {"infield-64x64-bin1", false, 64, 64, 1, 0},
    {"infield-128x128-bin2", false, 64, 64, 2, 0},
    {"infield-128x128-bin4", false, 32, 32, 4, 0},
    {"stray-64x64-bin1-step1", true, 64, 64, 1, 1},
    {"stray-128x128-bin2-step1", true, 64, 64, 2, 1},
};

const int kPsfSize   = 81;   // samples of each measured PSF along x and y
const int kPsfGrid   = 3;    // measured PSFs on a kPsfGrid x kPsfGrid grid
const int kNumCoeffs = 4;    // bilinear blend of the four nearest measured PSFs
const int kMargin    = 48;   // detector pixels around the science window (>= the 42 lower-edge rows)
const int kSideNoof  = 64;   // NOOF columns left and right of the science window (stray light)

// A logger that keeps the records of the build to itself.
class QuietLog : public nxLog
{
  public:
    int errors = 0;
    QuietLog() { SetAsDefaultLogger(); }
    void DisplayEntry(const nxLogEntry& entry) override
    {
        if (entry.Status() == nxlog_error) {
            if (errors++ < 5) std::fprintf(stderr, "ERROR: %s\n", entry.Message().c_str());
        }
    }
};

long StatusKb(const char* key)
{
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, key, std::strlen(key)) == 0) value = std::atol(line + std::strlen(key));
    }
    std::fclose(f);
    return value;
}

// Resets the peak resident size of this process to the current one.
bool ResetPeak()
{
    std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// A measured PSF: a narrow core and a wide halo, slightly different for each
// PSF of the grid; `size` samples along x and y, y fastest.
std::vector<double> PsfImage(int p)
{
    std::vector<double> img((size_t)kPsfSize * kPsfSize);
    const double        c = kPsfSize / 2, w = 1.5 + 0.1 * p, e = 1.0 + 0.05 * (p % kPsfGrid);
    for (int x = 0; x < kPsfSize; ++x) {
        for (int y = 0; y < kPsfSize; ++y) {
            const double dx = (x - c) * e, dy = y - c, r2 = dx * dx + dy * dy;
            img[(size_t)x * kPsfSize + y] = std::exp(-r2 / (2 * w * w)) + 1e-3 / std::pow(1.0 + r2 / 4.0, 1.5);
        }
    }
    return img;
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const BenchConfig& c : kConfigs) std::printf("%s\n", c.name);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <configuration> <fast|reference> <threads> [matrix file]\n       %s --list\n",
                     argv[0], argv[0]);
        return 2;
    }
    const BenchConfig* cfg = nullptr;
    for (const BenchConfig& c : kConfigs)
        if (std::strcmp(c.name, argv[1]) == 0) cfg = &c;
    const bool fast    = std::strcmp(argv[2], "fast") == 0;
    const int  threads = std::atoi(argv[3]);
    if (cfg == nullptr || (!fast && std::strcmp(argv[2], "reference") != 0) || threads < 1) {
        std::fprintf(stderr, "unknown configuration, build or thread count\n");
        return 2;
    }
    omp_set_dynamic(0);
    omp_set_num_threads(threads);
    QuietLog log;

    // Windows: science window of Kx*bin x Ky*bin detector pixels with a margin
    // of detector pixels around it; for stray light a NOOF window reaching
    // kSideNoof columns beyond the science window on either side.
    const int Sx = cfg->Kx * cfg->bin, Sy = cfg->Ky * cfg->bin;
    const int Dx = Sx + 2 * kMargin, Dy = Sy + 2 * kMargin;
    const int DOFSx = cfg->stray ? kSideNoof - kMargin : 0;
    const int NOOFx = cfg->stray ? Sx + 2 * kSideNoof : Dx, NOOFy = Dy;
    const int F     = cfg->Kx * cfg->Ky;
    TORVEN_DeconvolutionMatrixGenerator g(NOOFx, NOOFy, 0, 0, NOOFx, NOOFy, DOFSx, 0, Dx, Dy, kMargin, kMargin, Sx, Sy,
                                          cfg->bin, cfg->bin, cfg->Kx, cfg->Ky, 1, 1, cfg->Kx, cfg->Ky, nullptr, 0,
                                          false, 42, 42);

    // PSFs on a grid over the working window, blended bilinearly.
    const int                  npsf = kPsfGrid * kPsfGrid;
    std::vector<std::vector<double>> images;
    std::vector<const double*> pointers;
    std::vector<double>        locn;
    for (int p = 0; p < npsf; ++p) {
        images.push_back(PsfImage(p));
        pointers.push_back(images.back().data());
        locn.insert(locn.end(), {kPsfSize / 2 + 0.5, kPsfSize / 2 + 0.5, 3.0});
    }
    const int           wx = cfg->stray ? NOOFx : Dx, wy = cfg->stray ? NOOFy : Dy;
    std::vector<double> coeffs((size_t)kNumCoeffs * wx * wy);
    std::vector<int>    indices(coeffs.size());
    for (int x = 0; x < wx; ++x) {
        for (int y = 0; y < wy; ++y) {
            const double fx = (kPsfGrid - 1) * (x + 0.5) / wx, fy = (kPsfGrid - 1) * (y + 0.5) / wy;
            const int    ix = std::min((int)fx, kPsfGrid - 2), iy = std::min((int)fy, kPsfGrid - 2);
            const double tx = fx - ix, ty = fy - iy;
            const double w[4] = {(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty};
            const int    k[4] = {iy * kPsfGrid + ix, iy * kPsfGrid + ix + 1, (iy + 1) * kPsfGrid + ix,
                                 (iy + 1) * kPsfGrid + ix + 1};
            for (int j = 0; j < kNumCoeffs; ++j) {
                coeffs[((size_t)x * wy + y) * kNumCoeffs + j]  = w[j];
                indices[((size_t)x * wy + y) * kNumCoeffs + j] = k[j];
            }
        }
    }
    nx2dArray<double> locations(3, (size_t)npsf, locn.data());
    nx3dArray<double> c3(kNumCoeffs, (size_t)wy, (size_t)wx, coeffs.data());
    nx3dArray<int>    i3(kNumCoeffs, (size_t)wy, (size_t)wx, indices.data());
    if (!g.PSF_Table()->Initialize(pointers.data(), npsf, kPsfSize, kPsfSize, cfg->stray ? WINDOW_NOOF : WINDOW_DETECTOR,
                                   *g.WindowHierachy(), locations, c3, i3)) {
        std::fprintf(stderr, "PSF table initialisation failed\n");
        return 1;
    }

    std::vector<double> matrix((size_t)F * F, 0.0);   // the caller's output, resident before the build
    nx2dArray<double>   output((size_t)F, (size_t)F, matrix.data());
    nx2dArray<double>   novignetting;
    const long          rss_before = StatusKb("VmRSS:");
    const bool          reset      = ResetPeak();

    TORVEN_FastBuildStats stats;
    bool                  handled = true;
    const auto            t0      = std::chrono::steady_clock::now();
    bool                  ok;
    if (cfg->stray) {
        TORVEN_FastMatrixBuilder b(g);
        ok = fast ? b.BuildHorizontalStrayLight(&output, novignetting, cfg->step, cfg->step, cfg->step, cfg->step,
                                                &handled, &stats)
                  : g.build_horizontal_stray_light_reference(&output, novignetting, cfg->step, cfg->step, cfg->step,
                                                             cfg->step);
    } else {
        TORVEN_FastMatrixBuilder b(g);
        ok = fast ? b.BuildTransferFunction(&output, &handled, &stats) : g.build_transfer_function_reference(&output);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long   hwm     = StatusKb("VmHWM:");
    if (!handled) {
        std::fprintf(stderr, "the fast path did not apply\n");
        return 1;
    }

    std::printf("configuration=%s\nbuild=%s\nok=%d\nF=%d\nscience_pixels=%d\ncoefficients=%d\nthreads=%d\n",
                cfg->name, fast ? "fast" : "reference", ok ? 1 : 0, F, Sx * Sy, kNumCoeffs, threads);
    std::printf("seconds=%.6f\nrss_before_kb=%ld\npeak_kb=%ld\npeak_reset=%d\noutput_kb=%ld\n", seconds, rss_before,
                hwm, reset ? 1 : 0, (long)((double)F * F * 8 / 1024));
    if (fast) {
        std::printf("multiply_adds=%.0f\ntable_seconds=%.6f\ntable_kb=%ld\n", stats.multiply_adds, stats.table_seconds,
                    (long)(stats.table_bytes / 1024));
    }
    if (argc > 4) {
        std::ofstream f(argv[4], std::ios::binary);
        f.write(reinterpret_cast<const char*>(matrix.data()), (std::streamsize)(matrix.size() * sizeof(double)));
        if (!f) {
            std::fprintf(stderr, "cannot write %s\n", argv[4]);
            return 1;
        }
    }
    return ok ? 0 : 1;
}
