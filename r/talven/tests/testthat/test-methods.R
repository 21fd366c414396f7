# The methods of a fit: a round trip through saveRDS, the accessors against the estimate table
# and the data, and the refusals.

contrasts <- rbind(c(0, 0, 0, 2, 2), c(0, 0, 0, -2, 2))
full <- function() {
  do.call(fit_smart, c(quick, seed = 31, list(contrasts = contrasts)))
}

test_that("a fit read back is equal and predicts as before", {
  data <- smart()
  fit <- full()
  before <- list(predict(fit, data), predict(fit, data, type = "q", stage = 2),
                 predict(fit, data, type = "table"))
  path <- tempfile(fileext = ".rds")
  saveRDS(fit, path)
  again <- readRDS(path)
  expect_false(talven:::.live(again))
  expect_true(isTRUE(all.equal(again, fit)))
  expect_identical(predict(again, data), before[[1]])
  expect_identical(predict(again, data, type = "q", stage = 2), before[[2]])
  expect_identical(predict(again, data, type = "table"), before[[3]])
  expect_identical(predict(again), before[[1]])
  expect_true(isTRUE(all.equal(again, fit)))
  other <- do.call(fit_smart, c(quick, seed = 32, list(contrasts = contrasts)))
  expect_false(isTRUE(all.equal(other, fit)))
})

test_that("coef, confint, as.data.frame and nobs follow the estimate table", {
  fit <- full()
  t <- fit$table
  expect_identical(unname(coef(fit)), t$Estimate[t$Stage == 1])
  expect_identical(coef(fit, stage = 2), setNames(t$Estimate[t$Stage == 2], t$Term[t$Stage == 2]))
  all <- coef(fit, stage = "all")
  expect_identical(unname(all), t$Estimate)
  expect_identical(names(all)[c(1, 8)], c("stage1:intercept", "stage2:intercept"))
  expect_identical(unname(confint(fit)[, 2]), t$Upper[t$Stage == 1])
  expect_identical(as.data.frame(fit), t)
  expect_identical(nobs(fit), 160L)
})

test_that("misuse is refused with a talven error that says why", {
  fit <- full()
  cases <- list(
    list(function() confint(fit, stage = 2), "no confidence limits for the stage-2"),
    list(function() confint(fit, level = 0.9), "computed at level 0.95"),
    list(function() vcov(fit), "non-regular"),
    list(function() coef(fit, stage = 3), "stage must be 1 or 2 or \"all\""),
    list(function() predict(fit, stage = "2"), "stage must be 1 or 2"),
    list(function() fitted(fit, stage = 0), "stage must be 1 or 2"),
    list(function() predict(fit, transform(smart(), o11 = as.character(o11))),
         "Variable o11 is not numeric"))
  for (case in cases) expect_error(case[[1]](), case[[2]], class = "talven_error", fixed = TRUE)
  expect_error(predict(fit, type = "probability"), "should be one of")
})

test_that("predictions follow the Q-values and the coding", {
  data <- smart()
  fit <- full()
  q <- predict(fit, data, type = "q")
  expect_named(q, c("Q1_M1", "Q1_1"))
  coding <- talven:::.coding(fit)
  expect_identical(coding$column, c("Q1_M1", "Q1_1", "Q2_M1", "Q2_1"))
  expect_identical(coding$treatment[1:2], c("a1 = -1", "a1 = 1"))
  value <- as.numeric(sub("^a1 = ", "", coding$treatment[1:2]))
  best <- ifelse(q$Q1_M1 >= q$Q1_1, value[1], value[2])
  expect_identical(unname(predict(fit, data)), best)
  expect_match(capture.output(summary(fit)), "^Stage 2: Q2_M1 is a2 = -1", all = FALSE)
})

test_that("fitted values and residuals give back the outcome and pseudo-outcome", {
  data <- smart()
  fit <- full()
  f2 <- fitted(fit, stage = 2)
  expect_identical(names(f2), rownames(data)[data$r == 1])
  expect_equal(unname(f2 + residuals(fit, stage = 2)), data$y[data$r == 1], tolerance = 1e-13)
  outside <- rownames(data)[data$r == 0]
  expect_equal(unname((fitted(fit) + residuals(fit))[outside]), data$y[data$r == 0],
               tolerance = 1e-13)
  expect_lt(abs(sum(residuals(fit))), 1e-9)
})

test_that("the forest plot shows every interval with its numbers, and rules print", {
  # What the plot hands to axis() and segments(), and whether the numbers fit their margin.
  drawn <- new.env()
  record <- function(kind, item) drawn[[kind]] <- c(drawn[[kind]], list(item))
  suppressMessages({
    trace("axis", print = FALSE, where = asNamespace("graphics"), tracer = bquote(
      if (is.character(labels)) {
        .(record)("axis", list(side = side, labels = labels, fits = max(graphics::strwidth(
          labels, "inches", family = "mono")) <= graphics::par("mai")[side]))
      }))
    trace("segments", print = FALSE, where = asNamespace("graphics"), tracer = bquote(
      .(record)("segments", list(x0 = x0, y0 = y0, x1 = x1))))
  })
  on.exit(suppressMessages({
    untrace("axis", where = asNamespace("graphics"))
    untrace("segments", where = asNamespace("graphics"))
  }))
  for (fit in list(full(), fit_smart())) {
    rows <- fit$table[fit$table$Stage == 1, ]
    drawn$axis <- list()
    drawn$segments <- list()
    grDevices::pdf(tempfile(fileext = ".pdf"))
    expect_invisible(plot(fit))
    grDevices::dev.off()
    right <- Filter(function(a) a$side == 4, drawn$axis)[[1L]]
    words <- lapply(strsplit(gsub("[][,]", " ", right$labels), " +"), as.numeric)
    expected <- if (fit$intervals) Map(c, rows$Estimate, rows$Lower, rows$Upper) else
      as.list(rows$Estimate)
    expect_equal(words, lapply(expected, round, 4), tolerance = 1e-12)
    expect_true(right$fits)
    expect_identical(Filter(function(a) a$side == 2, drawn$axis)[[1L]]$labels, rows$Term)
    if (fit$intervals) {
      # The intervals, then a cap at each of their ends.
      expect_length(drawn$segments, 2L)
      expect_identical(drawn$segments[[1L]]$x0, rows$Lower)
      expect_identical(drawn$segments[[1L]]$x1, rows$Upper)
      expect_identical(drawn$segments[[2L]]$x0, c(rows$Lower, rows$Upper))
    } else {
      expect_length(drawn$segments, 0L)
    }
  }
  expect_match(capture.output(rules(full())), "^Give a2 = ", all = FALSE)
})

test_that("predict computes formula terms again on new data, also on a fit read back", {
  study <- utils::read.csv(system.file("extdata", "smart_study.csv", package = "talven"))
  rows <- c(7, 2, 1, 30, 11)
  path <- tempfile(fileext = ".rds")
  on.exit(unlink(path))
  # scale() is centred with the fit's mean, not the new rows'.
  cases <- list(list(main1 = ~ log(age)), list(tailor1 = ~ I(age/10)),
                list(main2 = ~ o11*a1 + age), list(main1 = ~ scale(age)))
  for (case in cases) {
    fit <- do.call(talven, utils::modifyList(list(
      data = study, response = "y", stg1trt = "a1", tailor1 = "o11", stg2trt = "a2",
      tailor2 = "o21", stg2sample = "stage2"), case))
    own <- predict(fit, type = "table")[rows, ]
    expect_false(anyNA(own$Q1_M1))
    expect_identical(predict(fit, study[rows, ], type = "table"), own)
    saveRDS(fit, path)
    again <- readRDS(path)
    expect_identical(predict(again, study[rows, ], type = "table"), own)
    expect_identical(predict(again, study[rows, ], type = "q", stage = 2),
                     own[startsWith(names(own), "Q2_")])
  }
  expect_error(predict(again, study[rows, names(study) != "age"]),
               "Variable age, which term scale(age) of main1 reads, is not in newdata.",
               class = "talven_error", fixed = TRUE)
})
