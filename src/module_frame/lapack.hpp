// The LAPACK routines the families call (OpenBLAS, Fortran interface,
// column-major storage). The trailing lengths belong to the single-character
// job arguments.
#pragma once

#include <cstddef>

extern "C" void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
                        const int* lda, double* s, double* u, const int* ldu, double* vt,
                        const int* ldvt, double* work, const int* lwork, int* info,
                        std::size_t jobu_len, std::size_t jobvt_len);
