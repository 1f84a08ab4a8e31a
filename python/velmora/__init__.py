"""velmora: convolution matrices of the TORVEN level-1 processing.

The native module ``_velmora_if`` builds, from the instrument's measured point
spread functions, their per-pixel interpolation tables and the windowing and
binning of the detector, the square matrix that tells how much of the light
entering at every L1C pixel ends up in every other one, and the matrix of
horizontal stray light from outside the science window.
"""

__version__ = "0.1.0"

__all__ = ["__version__"]
