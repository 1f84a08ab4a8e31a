#pragma once
// Scalar types shared by the support library.
#include <cstddef>
#include <cstdint>

typedef bool          nxBOOL;
typedef unsigned char nxBYTE;   // unsigned 8-bit
typedef uint16_t      nxWORD;   // unsigned 16-bit
typedef uint32_t      ULONG;    // unsigned 32-bit result of AddRef/Release

#ifndef nxTRUE
#define nxTRUE  true
#define nxFALSE false
#endif
