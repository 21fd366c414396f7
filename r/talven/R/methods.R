# The methods of a talven fit. A fit is plain data (lists, vectors, data frames) that survives
# saveRDS/readRDS; the study of the library it came from is kept only in a cache, and a fit read
# back rebuilds it from its saved variables when a prediction needs it.

# The study beside the fit, in an environment so that a rebuilt one is kept by every copy.
.cache <- function(study, variables) {
  cache <- new.env(parent = emptyenv())
  cache$study <- study
  cache$variables <- variables
  cache
}

.live <- function(object) {
  cache <- object$cache
  is.environment(cache) && !is.null(cache$study) && .Call(C_talven_r_live, cache$study)
}

# A point-estimate analysis of the saved variables gives the layer the same coefficients and
# codes as the fit's own.
.study <- function(object) {
  if (!.live(object)) {
    arguments <- object$arguments
    arguments$intervals <- FALSE
    arguments["contrasts"] <- list(NULL)
    # The formulas compute their transformations again from the variables they read.
    added <- unlist(lapply(object$formulas, `[[`, "added"), use.names = FALSE)
    data <- object$data[setdiff(names(object$data), added)]
    again <- suppressWarnings(.talven_fit(quote(talven), c(list(data = data), arguments)))
    if (!is.environment(object$cache)) {
      .stop("This talven fit lacks its cache; it was not made by talven().", quote(predict))
    }
    object$cache$study <- again$cache$study
    object$cache$variables <- again$cache$variables
  }
  object$cache
}

.stage_argument <- function(stage, call, all = FALSE) {
  allowed <- if (all) list(1, 2, "all") else list(1, 2)
  if (length(stage) != 1L || !any(vapply(allowed, identical, logical(1), stage)) &&
      !(is.numeric(stage) && stage %in% 1:2)) {
    .stop(sprintf("stage must be 1 or 2%s; got %s.", if (all) ' or "all"' else "",
                  paste(format(stage), collapse = ", ")), call)
  }
  if (is.numeric(stage)) as.integer(stage) else stage
}

.rows_of <- function(object, stage) object$table[object$table$Stage == stage, , drop = FALSE]

coef.talven <- function(object, stage = 1, ...) {
  stage <- .stage_argument(stage, sys.call()[1L], all = TRUE)
  if (identical(stage, "all")) {
    rows <- object$table
    return(stats::setNames(rows$Estimate, paste0("stage", rows$Stage, ":", rows$Term)))
  }
  rows <- .rows_of(object, stage)
  stats::setNames(rows$Estimate, rows$Term)
}

confint.talven <- function(object, parm, level = 1 - object$alpha, stage = 1, ...) {
  call <- sys.call()[1L]
  stage <- .stage_argument(stage, call)
  if (stage == 2L) {
    .stop(paste("The analysis gives no confidence limits for the stage-2 coefficients: the",
                "adaptive intervals are those of stage 1 and its contrasts."), call)
  }
  if (!object$intervals) {
    .stop("The fit has no confidence intervals; fit with intervals = TRUE.", call)
  }
  if (!isTRUE(all.equal(level, 1 - object$alpha))) {
    .stop(sprintf(
      "The intervals were computed at level %g (alpha = %g); fit again with alpha = %g.",
      1 - object$alpha, object$alpha, 1 - level), call)
  }
  rows <- .rows_of(object, 1L)
  limits <- cbind(rows$Lower, rows$Upper)
  percent <- paste(format(100 * c(object$alpha / 2, 1 - object$alpha / 2), trim = TRUE,
                          scientific = FALSE, digits = 3), "%")
  dimnames(limits) <- list(rows$Term, percent)
  if (!missing(parm)) limits <- limits[parm, , drop = FALSE]
  limits
}

vcov.talven <- function(object, ...) {
  .stop(paste("A talven fit has no variance matrix: the stage-1 estimator is non-regular (its",
              "distribution changes where a stage-2 treatment effect is near zero), so no",
              "normal-theory variance describes it. Use confint() for the adaptive limits."),
        sys.call()[1L])
}

nobs.talven <- function(object, ...) as.integer(object$n_stage1)

# The regime table of newdata through the fit's study.
.regime_table <- function(object, newdata, call) {
  if (missing(newdata) || is.null(newdata)) newdata <- object$data
  newdata <- as.data.frame(newdata, stringsAsFactors = FALSE, optional = TRUE)
  newdata <- .newdata_terms(object, newdata, call)
  cache <- .study(object)
  columns <- lapply(cache$variables, function(name) {
    if (name %in% object$used && name %in% names(newdata)) {
      values <- newdata[[name]]
      if ((is.factor(values) || is.character(values)) && name %in% object$coding$Variable) {
        values <- .coded(values, name, object$coding)
      }
      .as_double(values, name, call)
    } else {
      NULL
    }
  })
  names <- object$out_columns
  out <- .Call(C_talven_r_recommend, cache$study, columns, nrow(newdata), length(names))
  out[is.nan(out)] <- NA
  out <- as.data.frame(out)
  names(out) <- names
  rownames(out) <- rownames(newdata)
  # A text treatment's recommendation in its own values, as OUT= holds it.
  texts <- object$out_texts
  for (column in unique(texts$Column)) {
    rows <- texts[texts$Column == column, , drop = FALSE]
    out[[column]] <- rows$Value[match(out[[column]], rows$Code)]
  }
  out
}

predict.talven <- function(object, newdata, type = c("treatment", "q", "table"), stage = 1,
                           ...) {
  call <- sys.call()[1L]
  type <- match.arg(type)
  stage <- .stage_argument(stage, call)
  table <- .regime_table(object, if (missing(newdata)) NULL else newdata, call)
  switch(type,
         table = table,
         treatment = stats::setNames(table[[paste0("REC", stage)]], rownames(table)),
         q = table[, startsWith(names(table), paste0("Q", stage, "_")), drop = FALSE])
}

.per_subject <- function(object, what, stage) {
  stage <- .stage_argument(stage, sys.call(-1L)[1L])
  rows <- object[[paste0("rows", stage)]]
  stats::setNames(object[[paste0(what, stage)]], rownames(object$data)[rows])
}

fitted.talven <- function(object, stage = 1, ...) .per_subject(object, "fitted", stage)

residuals.talven <- function(object, stage = 1, ...) .per_subject(object, "residuals", stage)

rules <- function(object, ...) UseMethod("rules")

rules.talven <- function(object, ...) {
  structure(class = "talven_rules", object$rules)
}

print.talven_rules <- function(x, ...) {
  rule <- strrep("-", 62L)
  writeLines(c("Stage 1 Decision Rule", rule, x$stage1, "",
               "Stage 2 Decision Rule", rule, x$stage2, "",
               "Value of the Estimated Regime", rule,
               sprintf("Estimated value (mean of VALUE1):             %10.4f", x$value),
               sprintf("Mean observed outcome:                        %10.4f", x$mean_outcome)))
  invisible(x)
}

as.data.frame.talven <- function(x, row.names = NULL, optional = FALSE, ...) {
  out <- x$table
  if (!is.null(row.names)) rownames(out) <- row.names
  out
}

all.equal.talven <- function(target, current, ...) {
  if (!inherits(current, "talven")) return("current is not a talven fit")
  keep <- function(fit) unclass(fit)[setdiff(names(fit), "cache")]
  all.equal(keep(target), keep(current), ...)
}

# Which treatment values each Q-value column stands for, from the layer's description of them
# ("OUT= levels of stage 1: Q1_M1 is a1 = -1; Q1_1 is a1 = 1.").
.coding <- function(object) {
  rows <- lapply(object$levels, function(line) {
    stage <- as.integer(sub("^OUT= levels of stage ([0-9]+):.*$", "\\1", line))
    parts <- strsplit(sub("\\.$", "", sub("^[^:]*: ", "", line)), "; ", fixed = TRUE)[[1L]]
    data.frame(stage = stage, column = sub(" is .*$", "", parts),
               treatment = sub("^.* is ", "", parts), stringsAsFactors = FALSE)
  })
  do.call(rbind, rows)
}

.format_table <- function(object, stages) {
  width <- max(12L, nchar(object$table$Term))
  lines <- character()
  for (stage in stages) {
    rows <- .rows_of(object, stage)
    if (!nrow(rows)) next
    limits <- object$intervals && stage == 1L
    head <- sprintf("%-*s  %10s", width, paste("Stage", stage), "Estimate")
    if (limits) head <- paste0(head, sprintf("  %10s  %10s", "Lower", "Upper"))
    body <- sprintf("%-*s  %10.4f", width, rows$Term, rows$Estimate)
    if (limits) body <- paste0(body, sprintf("  %10.4f  %10.4f", rows$Lower, rows$Upper))
    lines <- c(lines, "", head, body)
  }
  lines
}

.header <- function(object) {
  lines <- sprintf("TALVEN two-stage Q-learning: %d observations, %d in stage 1, %d in stage 2",
                   as.integer(object$n_observations), as.integer(object$n_stage1),
                   as.integer(object$n_stage2))
  if (object$intervals) {
    lines <- c(lines, sprintf(paste0(
      "Intervals at ALPHA=%g (level %g %%) from NBOOTSTRAP1=%d and NBOOTSTRAP2=%d replicates, ",
      "NGRID=%d; SEED=%d; %d collinear replicates skipped"), object$alpha,
      100 * (1 - object$alpha), as.integer(object$nbootstrap1),
      as.integer(object$nbootstrap2), as.integer(object$ngrid), as.integer(object$seed),
      as.integer(object$n_collinear)))
  }
  lines
}

print.talven <- function(x, ...) {
  writeLines(c(.header(x), .format_table(x, 1:2)))
  invisible(x)
}

summary.talven <- function(object, ...) {
  structure(class = "summary.talven", list(fit = object))
}

print.summary.talven <- function(x, ...) {
  fit <- x$fit
  rule <- strrep("-", 62L)
  coding <- .coding(fit)
  lines <- c(.header(fit), .format_table(fit, 1:2), "", "Treatment coding", rule,
             sprintf("Stage %d: %s is %s", coding$stage, coding$column, coding$treatment), "",
             "Stage 1 Decision Rule", rule, fit$rules$stage1, "",
             "Stage 2 Decision Rule", rule, fit$rules$stage2, "",
             "Value of the Estimated Regime", rule,
             sprintf("Estimated value (mean of VALUE1):             %10.4f", fit$rules$value),
             sprintf("Mean observed outcome:                        %10.4f",
                     fit$rules$mean_outcome),
             sprintf("Observations in stage 1:                      %10d",
                     as.integer(fit$n_stage1)))
  if (!is.null(fit$value)) {
    v <- fit$value
    lines <- c(lines, "", "Value of the Regimes", rule,
               sprintf("%s  %10.4f %10.4f %10.4f", formatC(v$Regime, width = -max(nchar(v$Regime))),
                       v$Estimate, v$Lower, v$Upper))
  }
  if (length(fit$notes)) lines <- c(lines, "", "Notes:", paste(" ", fit$notes))
  if (length(fit$warnings)) lines <- c(lines, "", "Warnings:", paste(" ", fit$warnings))
  writeLines(lines)
  invisible(x)
}

# A forest plot of the stage-1 estimates and contrasts, with their limits when the fit has them.
# On one axis the interval of a covariate with a small coefficient can be narrower than the
# estimate's mark: caps show both its ends, and the numbers beside each row keep it readable.
plot.talven <- function(x, main = "Stage-1 coefficients and contrasts", ...) {
  rows <- .rows_of(x, 1L)
  n <- nrow(rows)
  at <- rev(seq_len(n))
  limits <- if (x$intervals) c(rows$Lower, rows$Upper) else rows$Estimate
  span <- range(c(limits, rows$Estimate, 0), na.rm = TRUE)
  numbers <- if (x$intervals) {
    sprintf("%.4f [%.4f, %.4f]", rows$Estimate, rows$Lower, rows$Upper)
  } else {
    sprintf("%.4f", rows$Estimate)
  }
  old <- graphics::par(mar = c(4.5, max(4, max(nchar(rows$Term)) * 0.6 + 1), 3,
                               max(nchar(numbers)) * 0.55 + 1))
  on.exit(graphics::par(old))
  level <- if (x$intervals) sprintf("%g %% adaptive intervals", 100 * (1 - x$alpha)) else
    "no intervals"
  graphics::plot(rows$Estimate, at, xlim = span, ylim = c(0.5, n + 0.5), yaxt = "n",
                 pch = 19, cex = 0.8, xlab = sprintf("Stage-1 estimate (%s)", level), ylab = "",
                 main = main, ...)
  graphics::abline(v = 0, lty = 2, col = "grey50")
  if (x$intervals) {
    graphics::segments(rows$Lower, at, rows$Upper, at, lwd = 2)
    graphics::segments(c(rows$Lower, rows$Upper), c(at, at) - 0.15, c(rows$Lower, rows$Upper),
                       c(at, at) + 0.15, lwd = 2)
  }
  graphics::axis(2, at = at, labels = rows$Term, las = 1)
  graphics::axis(4, at = at, labels = numbers, las = 1, tick = FALSE, family = "mono")
  invisible(x)
}
