/* The analysis on a thread of its own, so that R's main thread can notice Ctrl-C and show the
 * progress of a long fit while it runs. The main thread checks for an interrupt through
 * R_ToplevelExec, so R's jump never crosses C frames that hold the running study; it then asks
 * the study layer to stop (the run ends at its next batch of bootstrap replicates) and waits for
 * the thread before R code signals the interrupt. The thread never calls R. */
#include "interrupt.h"

#include <R.h>
#include <Rinternals.h>
#include <pthread.h>
#include <stdatomic.h>
#include <time.h>

#define POLL_NANOSECONDS 50000000L
#define PROGRESS_AFTER_SECONDS 2.0
#define BAR_WIDTH 40

struct Run {
  const struct TalvenRAnalysis* analysis;
  int result;
  int finished;
  pthread_mutex_t lock;
  pthread_cond_t done;
  atomic_int progress_done;
  atomic_int progress_total;
};

static void on_progress(int32_t done, int32_t total, void* context) {
  struct Run* run = (struct Run*)context;
  atomic_store(&run->progress_done, done);
  atomic_store(&run->progress_total, total);
}

static void* work(void* argument) {
  struct Run* run = (struct Run*)argument;
  const struct TalvenRAnalysis* a = run->analysis;
  const int result =
      talven_study_analyse(a->study, a->n, a->columns, a->contrast_rows, a->contrasts);
  pthread_mutex_lock(&run->lock);
  run->result = result;
  run->finished = 1;
  pthread_cond_signal(&run->done);
  pthread_mutex_unlock(&run->lock);
  return NULL;
}

static void check_interrupt(void* unused) {
  (void)unused;
  R_CheckUserInterrupt();
}

static double seconds_since(const struct timespec* start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)(now.tv_sec - start->tv_sec) + 1e-9 * (double)(now.tv_nsec - start->tv_nsec);
}

/* Redrawn only when its percentage changes. */
static void draw_bar(int done, int total, int* shown_percent) {
  if (total <= 0) return;
  const int percent = (int)(100.0 * done / total);
  if (percent == *shown_percent) return;
  *shown_percent = percent;
  const int filled = (int)((double)BAR_WIDTH * done / total);
  char bar[BAR_WIDTH + 1];
  for (int k = 0; k < BAR_WIDTH; ++k) bar[k] = k < filled ? '=' : ' ';
  bar[BAR_WIDTH] = '\0';
  REprintf("\r  |%s| %3d%% bootstrap", bar, percent);
}

/* Waits up to one poll step for the thread; returns 1 once it has finished. */
static int wait_step(struct Run* run) {
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_nsec += POLL_NANOSECONDS;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&run->lock);
  while (!run->finished) {
    if (pthread_cond_timedwait(&run->done, &run->lock, &until) != 0) break;
  }
  const int finished = run->finished;
  pthread_mutex_unlock(&run->lock);
  return finished;
}

int talven_r_analyse_interruptibly(const struct TalvenRAnalysis* analysis, int progress,
                                   int* interrupted) {
  TalvenStudy* study = analysis->study;
  struct Run run = {analysis, -1, 0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0, 0};
  *interrupted = 0;
  talven_study_on_progress(study, &on_progress, &run);
  pthread_t thread;
  if (pthread_create(&thread, NULL, &work, &run) != 0) {
    /* Without a thread of its own the analysis runs here, and cannot be interrupted. */
    work(&run);
    talven_study_on_progress(study, NULL, NULL);
    return run.result;
  }
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int shown = -1; /* the percentage on the bar; -1 before it is first drawn */
  while (!wait_step(&run)) {
    if (!*interrupted && !R_ToplevelExec(&check_interrupt, NULL)) {
      *interrupted = 1;
      talven_request_stop(1);
    }
    if (progress && !*interrupted && seconds_since(&start) >= PROGRESS_AFTER_SECONDS) {
      draw_bar(atomic_load(&run.progress_done), atomic_load(&run.progress_total), &shown);
    }
  }
  pthread_join(thread, NULL);
  talven_study_on_progress(study, NULL, NULL);
  if (shown >= 0) {
    if (!*interrupted) draw_bar(1, 1, &shown);
    REprintf("\n");
  }
  /* A request that came as the run was returning would otherwise stop the next fit. */
  if (*interrupted) talven_request_stop(0);
  return run.result;
}
