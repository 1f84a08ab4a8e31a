#pragma once
// Argument conversion rules of the module surface (deconvolution_wrap). Each
// returns false with a Python exception set when the argument is refused.
#include <Python.h>

struct ArrayArgument
{
    void* object    = nullptr;   // the PyArrayObject whose memory is passed
    bool  temporary = false;     // a conversion made by us: released afterwards
    void* data      = nullptr;
    int   rank      = 0;
    int   dims[3]   = {0, 0, 0};

    ArrayArgument() = default;
    ArrayArgument(const ArrayArgument&) = delete;
    ArrayArgument& operator=(const ArrayArgument&) = delete;
    ~ArrayArgument();
};

bool convert_input_array(PyObject* obj, int typenum, int rank, ArrayArgument* out);
bool convert_inplace_array(PyObject* obj, int rank, ArrayArgument* out);
bool convert_int(PyObject* obj, const char* method, int argnum, int* out);
bool convert_string(PyObject* obj, const char* method, int argnum, const char** out);
bool check_argument_count(PyObject* args, const char* name, Py_ssize_t expected);
