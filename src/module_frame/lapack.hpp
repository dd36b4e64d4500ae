// The LAPACK routines the families call (OpenBLAS, Fortran interface,
// column-major storage). The trailing lengths belong to the single-character
// job arguments.
#pragma once

#include <cstddef>

extern "C" void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a,
                        const int* lda, double* s, double* u, const int* ldu, double* vt,
                        const int* ldvt, double* work, const int* lwork, int* info,
                        std::size_t jobu_len, std::size_t jobvt_len);

// Minimum-norm least squares through the SVD (divide and conquer).
extern "C" void dgelsd_(const int* m, const int* n, const int* nrhs, double* a, const int* lda,
                        double* b, const int* ldb, double* s, const double* rcond, int* rank,
                        double* work, const int* lwork, int* iwork, int* info);
// Householder QR: factor, then form Q.
extern "C" void dgeqrf_(const int* m, const int* n, double* a, const int* lda, double* tau,
                        double* work, const int* lwork, int* info);
extern "C" void dorgqr_(const int* m, const int* n, const int* k, double* a, const int* lda,
                        const double* tau, double* work, const int* lwork, int* info);
// Householder LQ: factor, then form Q (QR of the transpose, for row-major storage).
extern "C" void dgelqf_(const int* m, const int* n, double* a, const int* lda, double* tau,
                        double* work, const int* lwork, int* info);
extern "C" void dorglq_(const int* m, const int* n, const int* k, double* a, const int* lda,
                        const double* tau, double* work, const int* lwork, int* info);
// Eigenvalues (and eigenvectors) of a symmetric matrix.
extern "C" void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda,
                       double* w, double* work, const int* lwork, int* info, std::size_t jobz_len,
                       std::size_t uplo_len);
