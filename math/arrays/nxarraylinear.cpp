// The array library's templates for the element types the system uses.
#include "nxarraylinear.h"

template class nxArrayIterCore<double>;
template class nxArrayIterFixedStride<double>;
template class nxArrayIterVariableStride<double>;
template class nxArrayIter<double>;
template class nxArrayIterCore<int>;
template class nxArrayIterFixedStride<int>;
template class nxArrayIterVariableStride<int>;
template class nxArrayIter<int>;

template class InxMemoryManager<double>;
template class InxMemoryManager<int>;

template class nxArrayLinear<double>;
template class nxArrayLinear<int>;
template class nx1dArray<double>;
template class nx1dArray<int>;
template class nx2dArray<double>;
template class nx2dArray<int>;
template class nx3dArray<double>;
template class nx3dArray<int>;

template nxArrayLinear<double>& operator+=(nxArrayLinear<double>&, const nxArrayLinear<double>&);
template nxArrayLinear<int>&    operator+=(nxArrayLinear<int>&, const nxArrayLinear<int>&);
template nxArrayLinear<double>& operator*=(nxArrayLinear<double>&, double);
template nxArrayLinear<int>&    operator*=(nxArrayLinear<int>&, int);
