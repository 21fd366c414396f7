# talven(): two-stage Q-learning with adaptive bootstrap confidence intervals, through the same
# study layer as PROC TALVEN, and the methods of its result.

.message <- c(plain = 0L, error = 1L, warning = 2L, note = 3L, progress = 4L)
.count <- c(observations = 3L, stage1 = 4L, stage2 = 5L, collinear = 6L, seed = 7L,
            intervals = 13L, table_rows = 14L, out_columns = 15L, nbootstrap1 = 16L,
            nbootstrap2 = 17L, ngrid = 18L)
.number <- c(alpha = 1L, regime_value = 3L, mean_outcome = 4L)
.values <- c(stage = 6L, estimate = 7L, lower = 8L, upper = 9L)
.text <- c(term = 2L, out_column = 3L, rule1 = 4L, rule2 = 5L, out_levels = 6L,
           diagnostic = 7L, collinear = 8L)

.talven_condition <- function(class, message, call, ...) {
  structure(class = c(class, if (class == "talven_error") "error" else "warning", "condition"),
            list(message = message, call = call, ...))
}

.stop <- function(message, call, ...) {
  stop(.talven_condition("talven_error", message, call, ...))
}

# A role: NULL, a character vector of names, or a one-sided formula such as ~ o11 + o12.
.variables <- function(value, role, call) {
  if (is.null(value)) return(NULL)
  if (inherits(value, "formula")) {
    if (length(value) != 2L) {
      .stop(sprintf("%s must be a one-sided formula such as ~ x1 + x2.", tolower(role)), call)
    }
    return(all.vars(value))
  }
  if (!is.character(value)) {
    .stop(sprintf("%s must name variables: a character vector or a one-sided formula.",
                  tolower(role)), call)
  }
  value
}

.as_double <- function(values, name, call) {
  if (is.factor(values) || !(is.numeric(values) || is.logical(values))) {
    .stop(sprintf("Variable %s is not numeric (%s); the analysis reads numeric variables only.",
                  name, class(values)[1L]), call)
  }
  as.double(values)
}

.messages <- function(study) {
  m <- .Call(C_talven_r_messages, study)
  data.frame(severity = names(.message)[match(m[[1L]], .message)], text = m[[2L]],
             stringsAsFactors = FALSE)
}

# Warnings as R warnings; on failure an R error with the errors and the diagnostic lines.
.signal <- function(study, ok, call) {
  m <- .messages(study)
  for (text in m$text[m$severity == "warning"]) {
    warning(.talven_condition("talven_warning", text, call))
  }
  if (!ok) {
    shown <- m$severity == "error" | (m$severity == "plain" & nzchar(trimws(m$text)))
    lines <- ifelse(m$severity[shown] == "plain", paste0("  ", trimws(m$text[shown])),
                    m$text[shown])
    .stop(paste(lines, collapse = "\n"), call,
          diagnostic = .Call(C_talven_r_texts, study, .text[["diagnostic"]]), messages = m)
  }
  m
}

talven <- function(data, response, stg1trt, tailor1, stg2trt, tailor2, main1 = NULL,
                   main2 = NULL, stg2sample = NULL, contrasts = NULL, intervals = FALSE,
                   alpha = 0.05, nbootstrap1 = 1000, nbootstrap2 = 1000, ngrid = 10,
                   grid_scale = 2.58, seed = NULL, cores = NULL, minimize = FALSE,
                   progress = interactive()) {
  # Conditions name the function only: a call made by do.call() holds the whole data.
  call <- sys.call()[1L]
  if (!is.data.frame(data) && !is.list(data)) {
    .stop("data must be a data frame or a list of variables.", call)
  }
  data <- as.data.frame(data, stringsAsFactors = FALSE, optional = TRUE)
  variables <- names(data)
  if (anyDuplicated(variables)) {
    .stop(sprintf("The data have more than one variable named %s.",
                  variables[anyDuplicated(variables)]), call)
  }
  roles <- list(MAIN1 = main1, TAILOR1 = tailor1, MAIN2 = main2, TAILOR2 = tailor2,
                RESPONSE = response, STG1TRT = stg1trt, STG2TRT = stg2trt,
                STG2SAMPLE = stg2sample)
  for (role in names(roles)) {
    if (!is.null(roles[[role]])) roles[[role]] <- .variables(roles[[role]], role, call)
  }
  for (role in names(roles)) {
    absent <- setdiff(roles[[role]], variables)
    if (length(absent)) {
      .stop(sprintf("Variable %s of %s is not in the data.", absent[1L], role), call)
    }
  }
  used <- unique(unlist(roles, use.names = FALSE))
  columns <- lapply(variables, function(name) {
    if (name %in% used) .as_double(data[[name]], name, call) else NULL
  })
  lists <- lapply(roles, function(names) {
    if (is.null(names)) NULL else match(names, variables) - 1L
  })

  # A stage has one treatment more than it has treatment variables.
  options <- c(NTREATS1 = if (!is.null(roles$STG1TRT)) length(roles$STG1TRT) + 1,
               NTREATS2 = if (!is.null(roles$STG2TRT)) length(roles$STG2TRT) + 1,
               ALPHA = alpha, NBOOTSTRAP1 = nbootstrap1, NBOOTSTRAP2 = nbootstrap2,
               NGRID = ngrid, GRID_SCALE = grid_scale, SEED = seed, CORES = cores,
               DERIVECI = if (isTRUE(intervals)) 1, MINIMIZE = if (isTRUE(minimize)) 1)
  if (!is.numeric(options)) .stop("The options must be numbers.", call)
  storage.mode(options) <- "double"

  contrast_names <- NULL
  if (!is.null(contrasts)) {
    if (is.data.frame(contrasts)) {
      contrast_names <- names(contrasts)
      for (name in contrast_names) .as_double(contrasts[[name]], name, call)
      contrasts <- as.matrix(contrasts)
    }
    if (is.null(dim(contrasts))) contrasts <- matrix(contrasts, nrow = 1L)
    if (!is.numeric(contrasts) || length(dim(contrasts)) != 2L) {
      .stop("contrasts must be a numeric matrix with one row per contrast.", call)
    }
    contrasts <- matrix(as.double(contrasts), nrow = nrow(contrasts))
  }

  fit <- .Call(C_talven_r_fit, variables, columns, lists, options, contrasts, contrast_names,
               isTRUE(progress))
  study <- fit[[1L]]
  if (fit[[3L]]) .interrupt()
  messages <- .signal(study, fit[[2L]], call)
  collinear <- .Call(C_talven_r_texts, study, .text[["collinear"]])
  for (text in collinear) warning(.talven_condition("talven_warning", text, call))

  count <- function(what) .Call(C_talven_r_count, study, .count[[what]])
  rows <- count("table_rows")
  value <- function(what) .Call(C_talven_r_values, study, .values[[what]], rows)
  missing_as_na <- function(x) replace(x, is.nan(x), NA)
  table <- data.frame(Stage = as.integer(value("stage")),
                      Term = .Call(C_talven_r_texts, study, .text[["term"]]),
                      Estimate = value("estimate"), Lower = missing_as_na(value("lower")),
                      Upper = missing_as_na(value("upper")), stringsAsFactors = FALSE)
  with_intervals <- count("intervals") == 1
  structure(class = "talven", list(
    table = table, n_observations = count("observations"), n_stage1 = count("stage1"),
    n_stage2 = count("stage2"), n_collinear = count("collinear"),
    seed = if (with_intervals) count("seed") else NULL, intervals = with_intervals,
    alpha = .Call(C_talven_r_number, study, .number[["alpha"]]),
    nbootstrap1 = count("nbootstrap1"), nbootstrap2 = count("nbootstrap2"),
    ngrid = count("ngrid"),
    notes = messages$text[messages$severity == "note"],
    warnings = c(messages$text[messages$severity == "warning"], collinear),
    rules = list(stage1 = .Call(C_talven_r_texts, study, .text[["rule1"]]),
                 stage2 = .Call(C_talven_r_texts, study, .text[["rule2"]]),
                 value = .Call(C_talven_r_number, study, .number[["regime_value"]]),
                 mean_outcome = .Call(C_talven_r_number, study, .number[["mean_outcome"]])),
    levels = .Call(C_talven_r_texts, study, .text[["out_levels"]]),
    variables = variables, used = used, data = data, study = study))
}

.stage1 <- function(object) object$table[object$table$Stage == 1L, , drop = FALSE]

coef.talven <- function(object, ...) {
  rows <- .stage1(object)
  stats::setNames(rows$Estimate, rows$Term)
}

confint.talven <- function(object, parm, level = 1 - object$alpha, ...) {
  if (!object$intervals) {
    stop(.talven_condition("talven_error",
                           "The fit has no confidence intervals; fit with intervals = TRUE.",
                           sys.call()[1L]))
  }
  if (!isTRUE(all.equal(level, 1 - object$alpha))) {
    stop(.talven_condition("talven_error", sprintf(
      "The intervals were computed at level %g (alpha = %g); fit again with alpha = %g.",
      1 - object$alpha, object$alpha, 1 - level), sys.call()[1L]))
  }
  rows <- .stage1(object)
  limits <- cbind(rows$Lower, rows$Upper)
  percent <- paste(format(100 * c(object$alpha / 2, 1 - object$alpha / 2), trim = TRUE,
                          scientific = FALSE, digits = 3), "%")
  dimnames(limits) <- list(rows$Term, percent)
  if (!missing(parm)) limits <- limits[parm, , drop = FALSE]
  limits
}

predict.talven <- function(object, newdata, ...) {
  if (missing(newdata) || is.null(newdata)) newdata <- object$data
  newdata <- as.data.frame(newdata, stringsAsFactors = FALSE, optional = TRUE)
  n <- nrow(newdata)
  call <- sys.call()[1L]
  columns <- lapply(object$variables, function(name) {
    if (name %in% object$used && name %in% names(newdata)) {
      .as_double(newdata[[name]], name, call)
    } else {
      NULL
    }
  })
  names <- .Call(C_talven_r_texts, object$study, .text[["out_column"]])
  out <- .Call(C_talven_r_recommend, object$study, columns, n, length(names))
  out[is.nan(out)] <- NA
  out <- as.data.frame(out)
  names(out) <- names
  rownames(out) <- rownames(newdata)
  out
}

.format_table <- function(object, stages) {
  width <- max(12L, nchar(object$table$Term))
  lines <- character()
  for (stage in stages) {
    rows <- object$table[object$table$Stage == stage, , drop = FALSE]
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
      "Intervals at ALPHA=%g from NBOOTSTRAP1=%d and NBOOTSTRAP2=%d replicates, NGRID=%d; ",
      "SEED=%d; %d collinear replicates skipped"), object$alpha, as.integer(object$nbootstrap1),
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
  lines <- c(.header(fit), .format_table(fit, 1:2), "",
             "Stage 1 Decision Rule", rule, fit$rules$stage1, "",
             "Stage 2 Decision Rule", rule, fit$rules$stage2, "",
             "Value of the Estimated Regime", rule,
             sprintf("Estimated value (mean of VALUE1):             %10.4f", fit$rules$value),
             sprintf("Mean observed outcome:                        %10.4f",
                     fit$rules$mean_outcome),
             sprintf("Observations in stage 1:                      %10d",
                     as.integer(fit$n_stage1)))
  if (length(fit$notes)) lines <- c(lines, "", "Notes:", paste(" ", fit$notes))
  if (length(fit$warnings)) lines <- c(lines, "", "Warnings:", paste(" ", fit$warnings))
  writeLines(lines)
  invisible(x)
}

# Ctrl-C stopped the analysis, which has returned: the interrupt R would have signalled, so that
# tryCatch(interrupt = ) and withCallingHandlers see it, and otherwise back to the top level.
.interrupt <- function() {
  signalCondition(structure(class = c("interrupt", "condition"),
                            list(message = "", call = NULL)))
  invokeRestart("abort")
}
