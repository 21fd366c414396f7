# talven(): the fit and its methods, and the conditions of bad or doubtful inputs. Agreement with
# the talven command and with Python, bit for bit, is checked by the repository's cross-front-end
# test.

test_that("intervals are repeatable with a seed and from the clock", {
  contrasts <- rbind(c(0, 0, 0, 2, 2), c(0, 0, 0, -2, 2))
  seeded <- do.call(fit_smart, c(quick, seed = 77, list(contrasts = contrasts)))
  again <- do.call(fit_smart, c(quick, seed = 77, list(contrasts = contrasts)))
  expect_identical(seeded$table, again$table)
  expect_equal(seeded$seed, 77)
  expect_named(coef(seeded), c("intercept", "age", "o11", "o11:a1", "a1", "Contrast1",
                               "Contrast2"))
  limits <- confint(seeded)
  expect_equal(dimnames(limits), list(names(coef(seeded)), c("2.5 %", "97.5 %")))
  expect_true(all(limits[, 1] <= coef(seeded) & coef(seeded) <= limits[, 2]))
  expect_equal(unname(coef(seeded)[6:7]), drop(contrasts %*% coef(seeded)[1:5]))
  expect_equal(confint(seeded, "a1"), limits["a1", , drop = FALSE])

  clock <- do.call(fit_smart, quick)
  expect_true(clock$seed >= 1 && clock$seed <= 2147483562)
  repeat_run <- do.call(fit_smart, c(quick, seed = clock$seed))
  expect_identical(clock$table, repeat_run$table)
  expect_true(any(grepl("seeded from the clock", clock$notes)))
})

test_that("formulas and character vectors name the same variables", {
  by_name <- fit_smart(main2 = c("age", "o11"))
  by_formula <- fit_smart(tailor1 = ~ o11, main2 = ~ age + o11, stg2sample = ~ r)
  expect_identical(by_name$table, by_formula$table)
  expect_identical(by_name$table$Term[6:9], c("intercept", "age", "o11", "o21"))
})

test_that("formula terms give the bits of columns computed beforehand", {
  d <- smart()
  d$o21[d$r == 0][1] <- NA  # outside the stage-2 sample: no stage-2 value needed
  pre <- d
  pre[["log(age)"]] <- log(d$age)
  pre[["I(o11/10)"]] <- d$o11 / 10
  pre[["o11*a1"]] <- d$o11 * d$a1
  pre[["age*o11*a1"]] <- d$age * d$o11 * d$a1
  cases <- list(
    list(main1 = ~ log(age), names = list(main1 = "log(age)")),
    list(tailor1 = ~ I(o11/10), names = list(tailor1 = "I(o11/10)")),
    list(main2 = ~ o11 * a1, names = list(main2 = c("o11", "a1", "o11*a1"))),
    list(main2 = ~ age:o11:a1, names = list(main2 = "age*o11*a1")),
    list(tailor2 = ~ o21 + o21:a1, names = list(tailor2 = c("o21", "o21*a1"))))
  pre[["o21*a1"]] <- d$o21 * d$a1
  for (case in cases) {
    by_formula <- do.call(fit_smart, c(list(data = d), case[names(case) != "names"], quick,
                                       seed = 5))
    by_name <- do.call(fit_smart, c(list(data = pre), case$names, quick, seed = 5))
    expect_identical(by_formula$table, by_name$table)
    expect_identical(by_formula$n_stage1, by_name$n_stage1)
    expect_equal(by_formula$n_stage1, 160)
  }
})

test_that("formula terms that cannot be represented stop naming the term", {
  d <- smart()
  d$arm <- ifelse(d$a1 > 0, "drug", "placebo")
  cases <- list(
    list(list(main2 = ~ poly(age, 2)), "Term poly(age, 2) of main2 gives 2 columns"),
    list(list(main1 = ~ factor(age > 30)), "Term factor(age > 30) of main1 is not numeric"),
    list(list(response = ~ log(y)), "Term log(y) of response is an expression"),
    list(list(stg1trt = ~ a1:o11), "Term a1:o11 of stg1trt is an expression"),
    list(list(main2 = ~ age - 1), "main2: the model always holds an intercept"),
    list(list(main2 = ~ age + offset(o11)), "Term offset(o11) of main2 is an offset"),
    list(list(main2 = ~ age + arm), "Variable arm in the MAIN2 list is character"),
    list(list(main2 = ~ age:y), "Variable y is the RESPONSE variable and cannot also be in MAIN2."))
  for (case in cases) {
    error <- tryCatch(do.call(fit_smart, c(list(data = d), case[[1]])),
                      talven_error = function(e) conditionMessage(e))
    expect_true(startsWith(error, case[[2]]), info = error)
  }
})

test_that("predict gives the regime table, and rules agree with it", {
  data <- smart()
  fit <- fit_smart(data)
  table <- predict(fit, type = "table")
  expect_named(table, c("_STAGE1", "_STAGE2", "Q1_M1", "Q1_1", "REC1", "Q2_M1", "Q2_1",
                        "REC2", "VALUE1"))
  expect_equal(fit$rules$value, mean(table$VALUE1))
  expect_equal(fit$rules$mean_outcome, mean(data$y))
  expect_true(all(is.na(table$Q2_M1[data$r == 0])))
  expect_equal(table$`_STAGE2`, data$r)
  fresh <- predict(fit, data[, c("age", "o11", "o21")], type = "table")
  expect_true(all(is.na(fresh$`_STAGE1`)))
  expect_identical(fresh$VALUE1, table$VALUE1)
  expect_match(capture.output(summary(fit)), "^Give a1 = ", all = FALSE)
  expect_match(capture.output(print(fit)), "^o11:a1 ", all = FALSE)
})

test_that("bad inputs stop with a talven_error that explains them", {
  data <- smart()
  cases <- list(
    list(list(nbootstrap1 = 0), "NBOOTSTRAP1 must be positive."),
    list(list(alpha = 2), "ALPHA must be less than 1."),
    list(list(seed = 0, intervals = TRUE), "SEED must be between 1 and 2147483562."),
    list(list(tailor1 = "nothing"), "Variable nothing of TAILOR1 is not in the data."),
    list(list(main2 = c("age", "y")),
         "Variable y is the RESPONSE variable and cannot also be in MAIN2."),
    list(list(main1 = c("age", "o11")), "Please remove variable o11 from MAIN1"),
    list(list(data = transform(data, age = as.character(age))),
         "Variable age in the MAIN1 list is character"),
    list(list(data = transform(data, a1 = replace(a1, 160, 0))),
         "Treatment variable in stage 1 has more than 2 treatments"),
    list(list(data = transform(data, r = 0)),
         "The stage-2 sample has 0 observations: no observation used has STG2SAMPLE r = 1;"),
    list(list(contrasts = c(1, 0, 0)), "Contrast1 Dataset should have 5 columns."),
    list(list(tailor2 = y ~ o21), "tailor2 must be a one-sided formula"))
  for (case in cases) {
    error <- tryCatch(do.call(fit_smart, case[[1]]), talven_error = function(e) e)
    expect_s3_class(error, "talven_error")
    expect_true(startsWith(conditionMessage(error), case[[2]]), label = conditionMessage(error))
  }
  expect_error(confint(fit_smart()), "no confidence intervals", class = "talven_error")
})

test_that("a failed analysis carries the diagnostic text", {
  data <- transform(smart(), age2 = 2 * age)
  error <- tryCatch(fit_smart(data, main2 = c("age", "age2")), talven_error = function(e) e)
  # The cause first, then the block as the log shows it.
  lines <- strsplit(conditionMessage(error), "\n", fixed = TRUE)[[1]]
  expect_identical(lines[1], "Rank-deficient fit: stage-2 fit of the data; dependent columns age, age2")
  expect_match(lines[2], "^A problem occured during model estimation.")
  expect_identical(tail(error$diagnostic, 1),
                   "Rank-deficient fit: stage-2 fit of the data; dependent columns age, age2")
})

test_that("doubtful inputs warn and the analysis goes on", {
  data <- smart()
  data$o11[c(4, 11)] <- NA
  warnings <- character()
  fit <- withCallingHandlers(
    do.call(fit_smart, c(list(data = data, seed = 5, nbootstrap1 = 20, nbootstrap2 = 10,
                              ngrid = 3, intervals = TRUE))),
    talven_warning = function(w) {
      warnings <<- c(warnings, conditionMessage(w))
      invokeRestart("muffleWarning")
    })
  expect_true("There are missing data in the dataset, complete case analysis was used." %in%
                warnings)
  expect_true(any(startsWith(warnings, "NBOOTSTRAP2=10 is too small")))
  expect_equal(fit$n_stage1, 158)
  expect_true(any(startsWith(fit$notes, "2 of 160 observations were left out: o11 missing in 2.")))
  expect_identical(fit$warnings, warnings)
  expect_silent(fit_smart())
})

test_that("every result of the study layer is in the fit by its name", {
  fit <- fit_smart(cores = 2)
  expect_equal(fit$p1, sum(fit$table$Stage == 1L))
  expect_equal(c(fit$ntreats1, fit$cores), c(2, 2))
  expect_false(fit$minimize)
  expect_equal(fit$grid_scale, 2.58)
  expect_false(any(grepl(".", names(fit), fixed = TRUE)))
})
