"""Smoke test of an installed velmora wheel, run from outside the source tree.

Checks that velmora comes from the installation (not a source tree), that its
native module loads without a compiler, that a PSF set goes through a netCDF-4
file when xarray and h5netcdf are installed, and that next to another OpenMP
user in the same process (scikit-learn, whose wheel brings its own OpenMP
runtime; else NumPy's and SciPy's OpenBLAS threads) a matrix built with two
threads is bitwise equal to the one built with one thread.

Usage: python tools/wheel_smoke.py  (exit status 0 when every check passes)
"""

import importlib.util
import os
import sys
import tempfile


def main() -> int:
    import numpy as np

    other = "scikit-learn"
    if importlib.util.find_spec("sklearn") is not None:
        from sklearn.cluster import KMeans   # its Cython loops run on OpenMP threads

        def use_other_openmp():
            points = np.random.default_rng(0).random((20000, 8))
            KMeans(n_clusters=8, n_init=2, random_state=0).fit(points)
    else:
        other = "OpenBLAS (NumPy, SciPy)"

        def use_other_openmp():
            a = np.random.default_rng(0).random((600, 600))
            a @ a

    use_other_openmp()   # the other runtime first, then velmora's, then both again
    import velmora

    here = os.path.dirname(os.path.abspath(velmora.__file__))
    assert "site-packages" in here, f"velmora imported from {here}, not from an installation"
    ins = velmora.builtin_instrument()
    one = velmora.infield_matrix(ins.windows, ins.psfs, threads=1)
    use_other_openmp()
    two = velmora.infield_matrix(ins.windows, ins.psfs, threads=2)
    stray_one = velmora.stray_light_matrix(ins.windows, ins.stray_psfs, vignetting=ins.vignetting,
                                           source_step=ins.source_step, threads=1)
    stray_two = velmora.stray_light_matrix(ins.windows, ins.stray_psfs, vignetting=ins.vignetting,
                                           source_step=ins.source_step, threads=2)
    assert one.tobytes() == two.tobytes(), "in-field matrix: 2 threads differ from 1 thread"
    assert stray_one.tobytes() == stray_two.tobytes(), "stray-light matrix: 2 threads differ from 1 thread"
    assert np.isfinite(one).all() and one.any()
    checks = [f"in-field and stray-light matrices bitwise equal on 1 and 2 threads next to {other}"]
    try:
        from threadpoolctl import threadpool_info

        runtimes = sorted({os.path.basename(p["filepath"]) for p in threadpool_info() if p["user_api"] == "openmp"})
        checks.append(f"OpenMP runtimes loaded: {', '.join(runtimes) or 'none reported'}")
    except ImportError:
        pass
    if all(importlib.util.find_spec(m) for m in ("xarray", "h5netcdf", "h5py")):
        with tempfile.TemporaryDirectory() as folder:
            path = velmora.save_psfs(os.path.join(folder, "psfs.nc"), ins.psfs, ins.windows,
                                     stray_psfs=ins.stray_psfs)
            back = velmora.load_psfs(path)
            assert back.psfs.images.tobytes() == ins.psfs.images.tobytes() and back.windows == ins.windows
        checks.append("PSF set through a netCDF-4 file")
    print(f"velmora {velmora.__version__} from {here}")
    for line in checks:
        print(f"  ok  {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
