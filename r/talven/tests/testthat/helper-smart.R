# The generated SMART of the package's tests and a fit of it.

smart <- function(n = 160) {
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

fit_smart <- function(data = smart(), ...) {
  arguments <- utils::modifyList(list(data = data, response = "y", stg1trt = "a1",
                                      tailor1 = "o11", stg2trt = "a2", tailor2 = "o21",
                                      main1 = "age", stg2sample = "r"), list(...))
  do.call(talven, arguments)
}

quick <- list(intervals = TRUE, nbootstrap1 = 200, nbootstrap2 = 100, ngrid = 5)
