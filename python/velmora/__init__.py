"""velmora: convolution matrices of the TORVEN level-1 processing.

The native core (``velmora._native``) builds, from the instrument's measured point
spread functions, their per-pixel interpolation tables and the windowing and
binning of the detector, the square matrix that tells how much of the light
entering at every L1C pixel ends up in every other one, and the matrix of
horizontal stray light from outside the science window.
"""

__version__ = "0.1.0"

from . import plot
from .builds import BuildReport, Record, infield_matrix, resolve_threads, stray_light_matrix
from .config import Plan, PlanError, load_plan
from .errors import BuildError, ConfigurationError, ConvergenceError, ConvergenceWarning
from .instrument import Instrument, blurred_instrument, builtin_instrument, demo_scene
from .layout import (
    LoadedMatrix,
    flat_index,
    forward_operator,
    image_to_vector,
    l1c_pixel,
    observe,
    vector_to_image,
)
from .io import InputFileError, load_matrix, read_array, save_matrix
from .model import ForwardModel, forward_model
from .correction import Corrector, correct
from .uncertainty import CorrectionResult, save_corrected
from .psfs import PSFSet, bilinear_tables
from .psf_files import PSFFile, load_psfs, save_psfs
from .windows import PARAMETER_NAMES, Windows

__all__ = [
    "__version__",
    # inputs
    "Windows", "PARAMETER_NAMES", "PSFSet", "bilinear_tables",
    # builds
    "infield_matrix", "stray_light_matrix", "resolve_threads", "BuildReport", "Record",
    # using the matrices
    "image_to_vector", "vector_to_image", "flat_index", "l1c_pixel",
    "forward_operator", "observe", "Corrector", "correct", "LoadedMatrix",
    # uncertainty of corrected images
    "CorrectionResult", "save_corrected",
    # matrix-free
    "forward_model", "ForwardModel",
    # files and plans
    "load_matrix", "save_matrix", "read_array", "load_plan", "Plan", "load_psfs", "save_psfs", "PSFFile",
    # the built-in instrument
    "Instrument", "builtin_instrument", "blurred_instrument", "demo_scene",
    # errors
    "BuildError", "ConfigurationError", "ConvergenceError", "ConvergenceWarning", "PlanError", "InputFileError",
    # figures (matplotlib is imported when a figure is drawn)
    "plot",
]
