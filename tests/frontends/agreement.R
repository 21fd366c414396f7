# One case of the cross-front-end agreement test through the R package: the estimate table in
# hexadecimal, one row per line (Stage, Term, Estimate, Lower, Upper), tab-separated; then the
# recommendations (#rec) and the notes (#note).
args <- commandArgs(trailingOnly = TRUE)
spec <- read.csv(args[1], colClasses = "character")
get <- function(key) {
  value <- spec$value[spec$key == key]
  if (!length(value) || !nzchar(value)) NULL else value
}
names_of <- function(key) {
  value <- get(key)
  if (is.null(value)) NULL else strsplit(value, " ", fixed = TRUE)[[1]]
}
library(talven)
data <- read.csv(get("data"), na.strings = c("", "NA"))
if (!is.null(get("factor"))) {
  factor_of <- names_of("factor")
  data[[factor_of[1]]] <- factor(data[[factor_of[1]]], levels = factor_of[-1])
}
contrasts <- if (is.null(get("contrasts"))) NULL else read.csv(get("contrasts"))
hex <- function(x) ifelse(is.na(x), "nan", sprintf("%a", x))
if (!is.null(get("nbootvalue"))) {
  # The value table: Kind, Regime, Estimate, Lower, Upper.
  fit <- talven(data, response = names_of("response"), stg1trt = names_of("stg1trt"),
                tailor1 = names_of("tailor1"), stg2trt = names_of("stg2trt"),
                tailor2 = names_of("tailor2"), main1 = names_of("main1"),
                main2 = names_of("main2"), stg2sample = names_of("stg2sample"),
                value = TRUE, seed = as.numeric(get("seed")),
                nbootvalue = as.numeric(get("nbootvalue")),
                nboottune = as.numeric(get("nboottune")),
                nbootstrap2 = as.numeric(get("nbootstrap2")))
  v <- value(fit)
  writeLines(paste(v$Kind, v$Regime, hex(v$Estimate), hex(v$Lower), hex(v$Upper), sep = "\t"))
  quit(save = "no")
}
fit <- talven(data, response = names_of("response"), stg1trt = names_of("stg1trt"),
              tailor1 = names_of("tailor1"), stg2trt = names_of("stg2trt"),
              tailor2 = names_of("tailor2"), main1 = names_of("main1"),
              main2 = names_of("main2"), stg2sample = names_of("stg2sample"),
              contrasts = contrasts, intervals = TRUE, seed = as.numeric(get("seed")),
              nbootstrap1 = as.numeric(get("nbootstrap1")),
              nbootstrap2 = as.numeric(get("nbootstrap2")))
t <- fit$table
# coef() and confint() are the stage-1 rows of the table: check that they are.
stopifnot(identical(unname(coef(fit)), t$Estimate[t$Stage == 1]),
          identical(unname(confint(fit)[, 1]), t$Lower[t$Stage == 1]),
          identical(unname(confint(fit)[, 2]), t$Upper[t$Stage == 1]))
if (length(args) < 2L) {
  writeLines(paste(t$Stage, t$Term, hex(t$Estimate), hex(t$Lower), hex(t$Upper), sep = "\t"))
  rec <- predict(fit, type = "table")[, c("REC1", "REC2")]
  shown <- function(x) {
    ifelse(is.na(x), ".", if (is.character(x)) x else format(x, trim = TRUE))
  }
  writeLines(paste0("#rec\t", shown(rec$REC1), " ", shown(rec$REC2)))
  writeLines(paste0("#rule\t", c(fit$rules$stage1, fit$rules$stage2)))
  writeLines(paste0("#note\t", fit$notes))
} else {
  # The methods, after a round trip through saveRDS/readRDS: coefficients of both stages, the
  # stage-1 limits, then per stage and observation the Q-values and the recommendation.
  path <- tempfile(fileext = ".rds")
  saveRDS(fit, path)
  fit <- readRDS(path)
  all <- coef(fit, stage = "all")
  writeLines(paste(t$Stage, t$Term, hex(unname(all)), sep = "\t"))
  limits <- confint(fit)
  writeLines(paste(rownames(limits), hex(limits[, 1]), hex(limits[, 2]), sep = "\t"))
  for (stage in 1:2) {
    q <- predict(fit, data, type = "q", stage = stage)
    rec <- predict(fit, data, stage = stage)
    columns <- c(lapply(q, hex), list(hex(unname(rec))))
    writeLines(do.call(paste, c(columns, sep = "\t")))
  }
}
