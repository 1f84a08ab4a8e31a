// The _velmora_if module surface, written by hand on the CPython and NumPy C
// APIs: argument conversion with its exact exception types and texts, the
// method table and multi-phase initialisation. Every function converts its
// arguments first to last, calls the entry function of the same name
// (pythoninterface) and returns its result as a bool.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_20_API_VERSION
#define NPY_TARGET_VERSION NPY_1_20_API_VERSION
#include <numpy/arrayobject.h>

#include <climits>
#include <cstring>

#include "pythoninterface.h"
#include "wrap_arguments.h"

namespace {

// ---------------------------------------------------------------------------
// Names used in the texts.
const char* typecode_string(int typecode)
{
    static const char* const names[] = {"bool", "byte", "unsigned byte", "short", "unsigned short", "int",
                                        "unsigned int", "long", "unsigned long", "long long",
                                        "unsigned long long", "float", "double", "long double", "complex float",
                                        "complex double", "complex long double", "object", "string", "unicode",
                                        "void", "ntypes", "notype", "char"};
    if (typecode < 0 || typecode >= (int)(sizeof(names) / sizeof(names[0]))) return "unknown";
    return names[typecode];
}

const char* pytype_string(PyObject* obj)
{
    if (obj == nullptr) return "C NULL value";
    if (obj == Py_None) return "Python None";
    if (PyCallable_Check(obj)) return "callable";
    if (PyBytes_Check(obj)) return "string";
    if (PyLong_Check(obj)) return "int";
    if (PyFloat_Check(obj)) return "float";
    if (PyDict_Check(obj)) return "dict";
    if (PyList_Check(obj)) return "list";
    if (PyTuple_Check(obj)) return "tuple";
    return "unknown type";
}

// ---------------------------------------------------------------------------
bool require_dimensions(PyArrayObject* array, int rank)
{
    if (PyArray_NDIM(array) != rank) {
        PyErr_Format(PyExc_TypeError, "Array must have %d dimensions.  Given array has %d dimensions", rank,
                     PyArray_NDIM(array));
        return false;
    }
    return true;
}

// The entry functions take every dimension as a 32-bit signed integer.
bool dimensions_to_int(PyArrayObject* array, ArrayArgument* out)
{
    out->rank = PyArray_NDIM(array);
    for (int i = 0; i < out->rank; ++i) {
        npy_intp d = PyArray_DIM(array, i);
        if (d > INT_MAX) {
            PyErr_Format(PyExc_ValueError,
                         "Array dimension %d has %zd elements; dimensions must fit a 32-bit signed integer", i,
                         (Py_ssize_t)d);
            return false;
        }
        out->dims[i] = (int)d;
    }
    out->data = PyArray_DATA(array);
    return true;
}

}   // namespace

// ---------------------------------------------------------------------------
ArrayArgument::~ArrayArgument()
{
    if (temporary) Py_XDECREF(reinterpret_cast<PyObject*>(object));
}

// Input array rule. An array of an equivalent element type that is C-contiguous,
// aligned and in native byte order is used as it stands; any other array of
// that type is copied into one that is (so the native side never reads
// misaligned or byte-swapped numbers). Other objects go through NumPy's
// array-from-object conversion without forced casting, and NumPy's own
// exception propagates unchanged.
bool convert_input_array(PyObject* obj, int typenum, int rank, ArrayArgument* out)
{
    PyArrayObject* array = nullptr;
    const int flags      = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED;
    if (PyArray_Check(obj) && PyArray_EquivTypenums(PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)), typenum)) {
        PyArrayObject* given = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_IS_C_CONTIGUOUS(given) && PyArray_ISALIGNED(given) && PyArray_ISNOTSWAPPED(given)) {
            array = given;
        } else {
            array = reinterpret_cast<PyArrayObject*>(
                PyArray_FromAny(obj, PyArray_DescrFromType(typenum), 0, 0, flags | NPY_ARRAY_ENSURECOPY, nullptr));
            if (array == nullptr) return false;
            out->temporary = true;
        }
    } else {
        array = reinterpret_cast<PyArrayObject*>(
            PyArray_FromAny(obj, PyArray_DescrFromType(typenum), 0, 0, flags | NPY_ARRAY_WRITEABLE, nullptr));
        if (array == nullptr) return false;
        out->temporary = true;
    }
    out->object = array;
    return require_dimensions(array, rank) && dimensions_to_int(array, out);
}

// In-place array rule: an existing float64 ndarray of the given rank,
// C-contiguous, in native byte order; nothing is copied. Misaligned and
// read-only arrays are refused too, since the native side writes doubles into
// this memory.
bool convert_inplace_array(PyObject* obj, int rank, ArrayArgument* out)
{
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "Array of type '%s' required.  A '%s' was given", typecode_string(NPY_DOUBLE),
                     pytype_string(obj));
        return false;
    }
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(obj);
    if (!PyArray_EquivTypenums(PyArray_TYPE(array), NPY_DOUBLE)) {
        PyErr_Format(PyExc_TypeError, "Array of type '%s' required.  Array of type '%s' given",
                     typecode_string(NPY_DOUBLE), typecode_string(PyArray_TYPE(array)));
        return false;
    }
    if (!require_dimensions(array, rank)) return false;
    if (!PyArray_IS_C_CONTIGUOUS(array)) {
        PyErr_SetString(PyExc_TypeError, "Array must be contiguous.  A non-contiguous array was given");
        return false;
    }
    if (!PyArray_ISNOTSWAPPED(array)) {
        PyErr_SetString(PyExc_TypeError, "Array must have native byteorder.  A byte-swapped array was given");
        return false;
    }
    if (!PyArray_ISWRITEABLE(array)) {
        PyErr_SetString(PyExc_TypeError,
                        "Array must be writeable.  A read-only array was given as the output matrix");
        return false;
    }
    if (!PyArray_ISALIGNED(array)) {
        PyErr_SetString(PyExc_TypeError, "Array must be aligned.  A misaligned array was given as the output matrix");
        return false;
    }
    out->object = array;
    return dimensions_to_int(array, out);
}

// Integer rule: a Python int (bool included) that fits a 32-bit signed integer.
bool convert_int(PyObject* obj, const char* method, int argnum, int* out)
{
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "in method '%s', argument %d of type 'int'", method, argnum);
        return false;
    }
    long long value = PyLong_AsLongLong(obj);
    if ((value == -1 && PyErr_Occurred()) || value < INT_MIN || value > INT_MAX) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "in method '%s', argument %d of type 'int'", method, argnum);
        return false;
    }
    *out = (int)value;
    return true;
}

// String rule: a Python str, passed as its UTF-8 form (valid during the call).
// The native side reads a C string, so a str holding a NUL character is refused
// too: it would be read only up to that character ("use_simpsons\0..." would
// set "use_simpsons").
bool convert_string(PyObject* obj, const char* method, int argnum, const char** out)
{
    Py_ssize_t  size = 0;
    const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    if (text != nullptr && strlen(text) != (size_t)size) text = nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "in method '%s', argument %d of type 'char const *'", method, argnum);
        return false;
    }
    *out = text;
    return true;
}

bool check_argument_count(PyObject* args, const char* name, Py_ssize_t expected)
{
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != expected) {
        PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got %d", name, "", (int)expected, (int)given);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The four setters.
namespace {

PyObject* wrap_cimpl_set_option(PyObject*, PyObject* args)
{
    if (!check_argument_count(args, "cimpl_set_option", 2)) return nullptr;
    const char* name = nullptr;
    int         value = 0;
    if (!convert_string(PyTuple_GET_ITEM(args, 0), "cimpl_set_option", 1, &name)) return nullptr;
    if (!convert_int(PyTuple_GET_ITEM(args, 1), "cimpl_set_option", 2, &value)) return nullptr;
    return PyBool_FromLong(cimpl_set_option(name, value));
}

PyObject* wrap_cimpl_set_numthreads(PyObject*, PyObject* arg)
{
    int value = 0;
    if (!convert_int(arg, "cimpl_set_numthreads", 1, &value)) return nullptr;
    return PyBool_FromLong(cimpl_set_numthreads(value));
}

PyObject* wrap_cimpl_set_diagnostic(PyObject*, PyObject* arg)
{
    int value = 0;
    if (!convert_int(arg, "cimpl_set_diagnostic", 1, &value)) return nullptr;
    return PyBool_FromLong(cimpl_set_diagnostic(value));
}

PyObject* wrap_cimpl_set_versionstr(PyObject*, PyObject* arg)
{
    const char* text = nullptr;
    if (!convert_string(arg, "cimpl_set_versionstr", 1, &text)) return nullptr;
    return PyBool_FromLong(cimpl_set_versionstr(text));
}

// The two matrix functions. Arrays are converted first to last, then the
// integers; temporaries are released by ArrayArgument whatever the result.
PyObject* wrap_cimpl_create_deconvolution(PyObject*, PyObject* args)
{
    if (!check_argument_count(args, "cimpl_create_deconvolution", 6)) return nullptr;
    ArrayArgument specs, psfs, locations, coeffs, indices, answer;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 0), NPY_INT, 1, &specs)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 1), NPY_DOUBLE, 3, &psfs)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 2), NPY_DOUBLE, 2, &locations)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 3), NPY_DOUBLE, 3, &coeffs)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 4), NPY_INT, 3, &indices)) return nullptr;
    if (!convert_inplace_array(PyTuple_GET_ITEM(args, 5), 2, &answer)) return nullptr;
    const bool result = cimpl_create_deconvolution(
        static_cast<int*>(specs.data), specs.dims[0], static_cast<double*>(psfs.data), psfs.dims[0], psfs.dims[1],
        psfs.dims[2], static_cast<double*>(locations.data), locations.dims[0], locations.dims[1],
        static_cast<double*>(coeffs.data), coeffs.dims[0], coeffs.dims[1], coeffs.dims[2],
        static_cast<int*>(indices.data), indices.dims[0], indices.dims[1], indices.dims[2],
        static_cast<double*>(answer.data), answer.dims[0], answer.dims[1]);
    return PyBool_FromLong(result);
}

PyObject* wrap_cimpl_create_horizontal_stray_light_matrix(PyObject*, PyObject* args)
{
    static const char* name = "cimpl_create_horizontal_stray_light_matrix";
    if (!check_argument_count(args, name, 11)) return nullptr;
    ArrayArgument specs, vignetting, psfs, locations, coeffs, indices, answer;
    int           delta_nx = 0, delta_ny = 0, delta_sx = 0, delta_sy = 0;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 0), NPY_INT, 1, &specs)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 1), NPY_DOUBLE, 2, &vignetting)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 2), NPY_DOUBLE, 3, &psfs)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 3), NPY_DOUBLE, 2, &locations)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 4), NPY_DOUBLE, 3, &coeffs)) return nullptr;
    if (!convert_input_array(PyTuple_GET_ITEM(args, 5), NPY_INT, 3, &indices)) return nullptr;
    if (!convert_inplace_array(PyTuple_GET_ITEM(args, 6), 2, &answer)) return nullptr;
    if (!convert_int(PyTuple_GET_ITEM(args, 7), name, 24, &delta_nx)) return nullptr;
    if (!convert_int(PyTuple_GET_ITEM(args, 8), name, 25, &delta_ny)) return nullptr;
    if (!convert_int(PyTuple_GET_ITEM(args, 9), name, 26, &delta_sx)) return nullptr;
    if (!convert_int(PyTuple_GET_ITEM(args, 10), name, 27, &delta_sy)) return nullptr;
    const bool result = cimpl_create_horizontal_stray_light_matrix(
        static_cast<int*>(specs.data), specs.dims[0], static_cast<double*>(vignetting.data), vignetting.dims[0],
        vignetting.dims[1], static_cast<double*>(psfs.data), psfs.dims[0], psfs.dims[1], psfs.dims[2],
        static_cast<double*>(locations.data), locations.dims[0], locations.dims[1],
        static_cast<double*>(coeffs.data), coeffs.dims[0], coeffs.dims[1], coeffs.dims[2],
        static_cast<int*>(indices.data), indices.dims[0], indices.dims[1], indices.dims[2],
        static_cast<double*>(answer.data), answer.dims[0], answer.dims[1], delta_nx, delta_ny, delta_sx, delta_sy);
    return PyBool_FromLong(result);
}

PyMethodDef module_methods[] = {
    {"cimpl_create_deconvolution", wrap_cimpl_create_deconvolution, METH_VARARGS, nullptr},
    {"cimpl_create_horizontal_stray_light_matrix", wrap_cimpl_create_horizontal_stray_light_matrix, METH_VARARGS,
     nullptr},
    {"cimpl_set_diagnostic", wrap_cimpl_set_diagnostic, METH_O, nullptr},
    {"cimpl_set_numthreads", wrap_cimpl_set_numthreads, METH_O, nullptr},
    {"cimpl_set_versionstr", wrap_cimpl_set_versionstr, METH_O, nullptr},
    {"cimpl_set_option", wrap_cimpl_set_option, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int SWIG_mod_exec(PyObject* module)
{
    if (PyModule_AddFunctions(module, module_methods) < 0) return -1;
    import_array1(-1);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(SWIG_mod_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_velmora_if",
    nullptr,   // no docstring
    0,         // no per-module state
    nullptr,   // functions are added by the execution step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}   // namespace

PyMODINIT_FUNC PyInit__velmora_if(void) { return PyModuleDef_Init(&module_definition); }
