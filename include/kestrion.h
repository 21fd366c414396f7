/*
 * libKestrion: two-stage Q-learning with adaptive bootstrap confidence intervals.
 *
 * C interface, usable from C, C++, R (.C / FFI) and Python (ctypes).
 *
 * Conventions, stated once for every function below:
 *  - Integers are 32-bit signed; reals are 64-bit IEEE doubles; flags are 8-bit (0 false, the
 *    library writes 255 for true).
 *  - Scalars are passed by value, arrays by the address of their first element. A matrix is one
 *    contiguous column-major block: element (i, j), counting from 0, of an r-by-c matrix is at
 *    index i + j*r.
 *  - The caller allocates and frees every array. The library writes only into the output arrays
 *    named below and never keeps a pointer after it returns.
 *  - No function throws, prints or ends the process. Failures are reported only through
 *    errorFlag and message.
 *  - One call at a time per process. Inside runkestrion the interval engine may run on several
 *    threads of its own (see cores below); they end before it returns, and callbacks are called
 *    on the caller's thread only.
 */
#ifndef KESTRION_H
#define KESTRION_H

#include <stdint.h>

#if defined(_WIN32)
#define KESTRION_API __declspec(dllexport)
#else
#define KESTRION_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Interface version implemented by this library: 1.0.0. */
#define KESTRION_VERSION_MAJOR 1
#define KESTRION_VERSION_MINOR 0
#define KESTRION_VERSION_REVISION 0

/*
 * Sets *versionMismatch to 0 when requestedVersion (major, minor, revision) equals the library's
 * interface version, to 255 otherwise.
 */
KESTRION_API void checkversion(const int32_t* requestedVersion, uint8_t* versionMismatch);

/*
 * Fits two-stage Q-learning and, when deriveCI is non-zero, adaptive bootstrap confidence
 * intervals for the stage-1 coefficients and the nC contrasts.
 *
 * Sizes: p1 = p10 + K1*(p11+1), p2 = p20 + K2*(p21+1).
 * Inputs: Y1, inputY2, respStatus (0 = in the stage-2 sample), A1, inputA2 (treatment codes
 * 1..K) of n1 subjects; H10 n1 x p10, H11 n1 x p11, inputH20 n1 x p20, inputH21 n1 x p21;
 * levels1 (K1-1) x K1, levels2 (K2-1) x K2; contrastMatrix nC x p1.
 * Outputs: beta1hat[p1], beta2hat[p2]; with deriveCI also upper[p1+nC], lower[p1+nC] and
 * *nCollinear. On failure *errorFlag is 255 and message holds the diagnostic text, one character
 * code per element, lines separated by CR LF, ended by a 0 (when messageLength > 0).
 * cores: the threads of the interval engine (both bootstrap phases). cores >= 1 asks for that
 * many, at most four times the cores the process may use and at most nBootstrap1; cores <= 0
 * asks for every core the process may use (sched_getaffinity). The results are the same, bit
 * for bit, for every number of threads. fixedTwo is accepted and not used.
 *
 * Before the interval engine allocates, it estimates the memory it needs (kestrion_plan.h); a
 * run that needs more than the machine's physical memory is refused with the report "Unable to
 * allocate memory for object", "The intervals need about X GB of memory;", "this machine has
 * Y GB.". Large grids are processed in blocks, so that their memory stays within a fixed budget.
 *
 * When a rank-deficient design ends the analysis (the report "Matrix apparently singular",
 * "Design matrix doesn't have full rank.", "OCCURRED IN: svdr_l2 in MOD regression"), one more
 * line follows that names the fit and the design columns (counted from 1 in the coefficient
 * order above) that are linearly dependent:
 *   Rank-deficient fit: stage-2 fit of the data; dependent columns 1 3-5
 * The fit is "stage-1 fit of the data", "stage-2 fit of the data" or "covariance replicate k"
 * (the k-th replicate of the covariance bootstrap of the stage-2 regression; its columns are
 * those of the stage-2 design). A run of three or more consecutive columns is written
 * "first-last". A list too long for one line of 70 characters goes on in lines that start
 * "Rank-deficient fit, continued:", and a list of more than 8 lines ends with "...". A
 * replicate of the main bootstrap whose fit fails is counted in nCollinear and reported nowhere.
 */
#define KESTRION_RANK_CAUSE "Rank-deficient fit:"
#define KESTRION_RANK_CAUSE_MORE "Rank-deficient fit, continued:"

KESTRION_API void runkestrion(int32_t cores, int32_t fixedTwo, const double* Y1,
                              const double* inputY2, int32_t n1, int32_t n2,
                              const int32_t* respStatus, const int32_t* A1, const int32_t* inputA2,
                              const double* H10, int32_t p10, const double* H11, int32_t p11,
                              const double* inputH20, int32_t p20, const double* inputH21,
                              int32_t p21, const double* levels1, int32_t K1, const double* levels2,
                              int32_t K2, const double* contrastMatrix, int32_t nC,
                              int32_t nBootstrap1, int32_t nBootstrap2, int32_t nGrid,
                              double gridScale, uint8_t deriveCI, double alpha, double* beta1hat,
                              double* beta2hat, double* upper, double* lower, int32_t* nCollinear,
                              uint8_t* errorFlag, int32_t messageLength, int32_t* message);

/*
 * seed >= 1: the next runkestrion seeds its uniform generator once from seed, before its first
 * draw, and never from the clock, so runs are reproducible. seed == 0: every resampling call
 * seeds from the clock. Values below 0 are treated as 0.
 */
KESTRION_API void seedkestrion(int32_t seed);

/*
 * Progress of runkestrion's interval computation: called on the caller's thread with the main
 * bootstrap replicates completed so far and their total, after each batch of replicates (and,
 * when the grid is processed in blocks, after each block, counting the share of the replicates'
 * work done). done never goes back and reaches total when the replicates are all done. The
 * callback must return promptly and must not call into the library. A null callback stops the
 * reports. The registration holds for every later runkestrion until it is changed.
 */
typedef void (*KestrionProgress)(int32_t done, int32_t total, void* context);
KESTRION_API void progresskestrion(KestrionProgress callback, void* context);

/*
 * Stop requests. stopkestrion(1) asks the running runkestrion to stop: it ends at its next batch
 * of replicates, in either bootstrap phase (a thread abandons its group of replicates or block of
 * grid rows rather than finishing it), frees every work array, ends its threads and fails with
 * the one-line report KESTRION_INTERRUPTED. As after any failure, its outputs hold no results:
 * upper and lower are not written. Without intervals the fit is short and is not interrupted.
 *
 * The request is a single lock-free atomic word, so both calls are safe from a signal handler
 * and from any thread at any time. It stays pending until a runkestrion returns, and every
 * runkestrion clears it when it returns, stopped or not: a request made while no analysis runs
 * stops the next runkestrion at its start, so a stop asked for while the caller prepares its
 * call is never lost; the run after the stopped one is a normal run. stopkestrion(0) withdraws
 * a pending request: a caller whose stop came just as its call returned withdraws it before it
 * calls again.
 */
#define KESTRION_INTERRUPTED "The analysis was interrupted."
KESTRION_API void stopkestrion(int32_t stop);

#ifdef __cplusplus
}
#endif

#endif /* KESTRION_H */
