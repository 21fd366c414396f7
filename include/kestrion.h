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

/*
 * The value of the regimes: the estimated regime's value and the values of the K1 x K2 regimes
 * the trial embeds ("give stage-1 treatment a1; if the subject enters the stage-2 sample, give
 * a2"), with percentile bootstrap intervals and every pairwise difference.
 *
 * The data are those of a runkestrion call (same arrays, codes and counts; the outcome of a
 * subject outside the stage-2 sample is Y1, of one in it inputY2), in the outcome's own sign, and
 * beta1hat its stage-1 estimates in that sign: under MINIMIZE, what runkestrion gave for the
 * negated outcome, negated back. Only p10, p11, K1, levels1 and beta1hat matter for the estimated
 * regime; only the outcome and the codes for the embedded ones.
 *
 * The table has KESTRION_VALUE_ROWS(K1, K2) rows, each a slot of every output array:
 *   row 0                the estimated regime: the mean over the n1 subjects of the largest
 *                        fitted stage-1 Q-value (the smallest with minimize);
 *   rows 1 .. R          the embedded regimes, R = K1 x K2, row 1 + (a1-1)*K2 + (a2-1) for the
 *                        codes a1, a2: sum W Y / sum W over the n1 subjects with
 *                        W = 1{A1 = a1} / pi1(a1) x (1 outside the stage-2 sample, else
 *                        1{A2 = a2} / pi2(a2 | a1)); pi1 and pi2 are the shares realised in the
 *                        data (or in the resample);
 *   rows R+1 ..          the differences row r - row s of embedded regimes r < s, r outer.
 * Intervals: nBootValue resamples of the n1 subjects (whole records); a resample in which a
 * regime is not estimable is skipped for it and its differences. lower and upper are the order
 * statistics of the kept values at the ranks floor(0.5 kept alpha) (at least 1) and
 * ceil(kept (1 - 0.5 alpha)) (at most kept), as the interval engine takes them.
 * A regime is not estimable when no subject follows it, or when the stage-2 sample given a1 is
 * not empty and none of it received a2.
 *
 * The estimated regime's interval (two treatments at each stage; otherwise its row has the
 * point value alone and mAlphaChoice KESTRION_MALPHA_TREATMENTS): an m-out-of-n bootstrap.
 *  1. The ordinary resamples above are also refitted by two-stage Q-learning (least squares by
 *     pivoted QR: a design is rank-deficient when a pivot is at most 1e-10, in single precision,
 *     times the largest; such refits are skipped). sigma1n = n1 S / kept, S the sum of outer
 *     products of the deviations of the refits' stage-1 treatment-effect coefficients (the
 *     TAILOR1 interactions, then the treatment term) from their mean.
 *  2. Covariance phase: nBootstrap2 resamples of the n2 subjects of the stage-2 sample, each its
 *     stage-2 regression; sigma2n likewise from the stage-2 treatment-effect coefficients.
 *  3. With the data's estimates (beta1hat, beta2hat), per subject T1 = n1 (x1'b1)^2 / (x1'
 *     sigma1n x1), x1 = (TAILOR1 values, 1), and in the stage-2 sample T2 likewise with n2 and
 *     TAILOR2. A subject is non-regular when T1 <= ln(ln(n1)), or T2 <= ln(ln(n2)) (the interval
 *     engine's threshold; an undefined T counts as non-regular). pHat is their share.
 *  4. m = max(ceil(n1^((1 + a (1 - pHat)) / (1 + a))), floor), at most n1, where a is mAlpha and
 *     floor = ceil(max(2 p1, 2 p2 n1 / n2)), the smallest resample whose stage-2 fit is likely
 *     possible.
 *  5. nBootValue resamples of m subjects, each refitted: with q_lo and q_hi the order
 *     statistics (ranks as above) of sqrt(m) (V*_m - V) over the kept refits, lower = V -
 *     q_hi / sqrt(n1) and upper = V - q_lo / sqrt(n1), V the estimated regime's value.
 *  mAlpha 0 chooses a among 0.025, 0.05, 0.1, 0.25, 0.5, 1 by a double bootstrap: nBootTune
 *  first-level resamples of n1, each refitted with its own pHat (its own estimates and n2, the
 *  data's sigma1n and sigma2n); for each a in turn, nBootTune second-level resamples of that a's
 *  m drawn from the first-level resample, and the interval of step 5 around the first-level
 *  value. The choice is the smallest a whose intervals hold V at least 1 - alpha of the time
 *  (over first-level resamples that gave one); an a is not eligible when more than 10% of the
 *  first-level resamples that could be refitted keep fewer than 3 second-level refits; when no
 *  eligible a reaches the level, the largest eligible one; when none is eligible, no interval.
 *  Fewer than 3 usable refits in step 1, 2 or 5 end the call ("Too many value bootstrap loops
 *  have collinearity.").
 *
 * Draws: the value bootstrap has its own generator of the kind runkestrion uses (L'Ecuyer 1988,
 * multipliers 40014 and 40692, moduli 2147483563 and 2147483399), so that asking for the values
 * changes no draw of runkestrion. With seed >= 1 its state starts 2^50 draws ahead of the state
 * that seedkestrion(seed) gives runkestrion's stream:
 *   s1 = 2082007225 x (1 + (seed-1) mod 2147483562) mod 2147483563,
 *   s2 = 784306273 x (1 + (seed-1) mod 2147483398) mod 2147483399,
 * (the multipliers are 40014^(2^50) and 40692^(2^50) modulo the moduli). With seed 0 the clock
 * count of seedkestrion's clock mode stands for seed. A resample of size from n rows takes size
 * draws, row k = ceil(u * n). The resamples follow one another in this order: the nBootValue
 * ordinary ones; the nBootstrap2 of the covariance phase (row k the k-th subject of the stage-2
 * sample in data order); with mAlpha 0, for each first-level resample its n1 rows and then, for
 * each a in grid order, its nBootTune second-level resamples (row k its k-th row); last the
 * nBootValue resamples of m. The embedded regimes' values thus depend on none of the later
 * phases. The results are the same, bit for bit, for every number of threads (cores as in
 * runkestrion, at most nBootValue threads); resamples are drawn on the caller's thread, and
 * progresskestrion's callback receives the resamples done and their total over all phases
 * (scaled down together when the total exceeds 2147483647) after each batch.
 *
 * Failures (errorFlag 255 and the message, as runkestrion): a call whose counts, codes or arrays
 * are unusable, nBootValue or nBootTune below 10, mAlpha below 0, nBootstrap2 below 1, alpha
 * outside (0, 1), K1 or K2 below 2, too few usable refits, and memory that cannot be had.
 * Regimes that are not estimable are no failure: their rows say so.
 */
#define KESTRION_VALUE_ROWS(K1, K2) (1 + (K1) * (K2) + (K1) * (K2) * ((K1) * (K2)-1) / 2)

/* The status of a row of the value table. */
#define KESTRION_VALUE_OK 0          /* estimate and interval */
#define KESTRION_VALUE_NO_INTERVAL 1 /* estimate; fewer than 3 replicates kept, or none asked */
#define KESTRION_VALUE_NOT_ESTIMABLE 2 /* no estimate: estimate, lower and upper are NaN */
/* The stage-2 sample given a1 is empty, so the regimes (a1, a2) are one regime: its values are
 * in the row of a2 code 1; rows of other a2 codes, and differences that repeat or compare them
 * with that row, carry its values (or 0 and no interval) and this status. List them once. */
#define KESTRION_VALUE_MERGED 3

/* How the estimated regime's tuning constant was settled. */
#define KESTRION_MALPHA_GIVEN 0        /* mAlpha as given */
#define KESTRION_MALPHA_CHOSEN 1       /* the smallest that reached the level */
#define KESTRION_MALPHA_FALLBACK 2     /* none reached it: the largest eligible */
#define KESTRION_MALPHA_NONE_ELIGIBLE 3 /* no interval */
#define KESTRION_MALPHA_TREATMENTS 4   /* more than two treatments at a stage: no interval */

typedef struct KestrionValueData {
  int32_t n1;
  int32_t n2;
  const double* Y1;
  const double* inputY2;
  const int32_t* respStatus;
  const int32_t* A1;
  const int32_t* inputA2;
  const double* H10;
  int32_t p10;
  const double* H11;
  int32_t p11;
  const double* inputH20;
  int32_t p20;
  const double* inputH21;
  int32_t p21;
  const double* levels1;
  int32_t K1;
  const double* levels2;
  int32_t K2;
  const double* beta1hat; /* p10 + K1*(p11+1) stage-1 estimates */
  const double* beta2hat; /* p20 + K2*(p21+1) stage-2 estimates */
} KestrionValueData;

typedef struct KestrionValueOptions {
  double alpha;        /* one minus the confidence level, in (0, 1) */
  int32_t nBootValue;  /* resamples of the value bootstrap, at least 10 */
  int32_t seed;        /* as above */
  int32_t cores;       /* as runkestrion's */
  uint8_t minimize;    /* non-zero: smaller outcomes are better */
  double mAlpha;       /* tuning constant of the estimated regime's interval; 0: chosen */
  int32_t nBootTune;   /* replicates of the double bootstrap that chooses it */
  int32_t nBootstrap2; /* replicates of the stage-2 covariance */
  uint8_t embeddedOnly; /* non-zero: no interval for the estimated regime, only its point */
} KestrionValueOptions;

/* Each pointer addresses KESTRION_VALUE_ROWS(K1, K2) elements, except m, pHat, mAlpha and
 * mAlphaChoice (one each: the estimated regime's interval settings, NaN when they do not apply).
 * followers: subjects who follow an embedded regime, -1 on other rows; kept: replicates kept for
 * the row (on row 0 the refits of its m-out-of-n bootstrap). */
typedef struct KestrionValueTable {
  double* estimate;
  double* lower;
  double* upper;
  int32_t* followers;
  int32_t* kept;
  int32_t* status;
  double* m;
  double* pHat;
  double* mAlpha;
  int32_t* mAlphaChoice;
} KestrionValueTable;

KESTRION_API void valuekestrion(const KestrionValueData* data, const KestrionValueOptions* options,
                                const KestrionValueTable* table, uint8_t* errorFlag,
                                int32_t messageLength, int32_t* message);

#ifdef __cplusplus
}
#endif

#endif /* KESTRION_H */
