# Ctrl-C during a long fit: the interrupt condition within half a second, and the same R process
# then fits again with the bits of an uninterrupted fit. The fit runs in a forked R process that
# keeps R's own SIGINT handler, whatever disposition the test runner gave this one.

# A SMART of n subjects, about half in the stage-2 sample.
interrupt_study <- function(n = 160) {
  i <- seq_len(n) - 1
  r <- as.integer((i * 11) %% 5 < 3)
  d <- data.frame(age = 20 + (i * 7) %% 31, o11 = ((i * 13) %% 9) / 4,
                  a1 = ifelse((i * 5 + i %/% 3) %% 2 == 0, 1, -1), r = r,
                  o21 = ifelse(r == 1, ((i * 17) %% 7) / 2, NA),
                  a2 = ifelse(r == 1, ifelse((i * 3 + i %/% 2) %% 2 == 0, 1, -1), NA))
  d$y <- 1 + d$o11 / 4 + d$a1 * (d$o11 - 1) / 2 +
    ifelse(r == 1, 0.75 * d$a2 * (d$o21 - 1.5), 0) + ((i * 29) %% 11 - 5) / 8
  d
}

interrupt_model <- list(data = interrupt_study(), response = "y", stg1trt = "a1",
                        tailor1 = "o11", stg2trt = "a2", tailor2 = "o21", main1 = "age",
                        stg2sample = "r", intervals = TRUE, seed = 5, nbootstrap1 = 200,
                        nbootstrap2 = 100, progress = FALSE)

test_that("an interrupt stops a fit within half a second and the process fits again", {
  skip_on_os("windows")
  skip_if_not_installed("parallel")
  started <- tempfile()
  job <- parallel::mcparallel({
    model <- interrupt_model
    before <- do.call(talven, model)$table
    file.create(started)
    long <- utils::modifyList(model, list(nbootstrap1 = 2000000))
    stopped <- tryCatch({
      do.call(talven, long)
      NA_real_
    }, interrupt = function(condition) as.numeric(Sys.time()))
    list(stopped = stopped, again = identical(before, do.call(talven, model)$table))
  })
  waited <- 0
  while (!file.exists(started) && waited < 60) {
    Sys.sleep(0.05)
    waited <- waited + 0.05
  }
  expect_true(file.exists(started))
  Sys.sleep(0.5)
  sent <- as.numeric(Sys.time())
  tools::pskill(job$pid, tools::SIGINT)
  result <- parallel::mccollect(job)[[1L]]
  expect_type(result, "list")
  seconds <- result$stopped - sent
  cat(sprintf("\ninterrupt %.3f s after SIGINT\n", seconds))
  expect_lt(seconds, 1)
  expect_true(result$again)
})

test_that("progress is off when asked", {
  expect_silent(do.call(talven, interrupt_model))
})
