# talven(): two-stage Q-learning with adaptive bootstrap confidence intervals, through the same
# study layer as PROC TALVEN, and the methods of its result.

.talven_condition <- function(class, message, call, ...) {
  structure(class = c(class, if (class == "talven_error") "error" else "warning", "condition"),
            list(message = message, call = call, ...))
}

.stop <- function(message, call, ...) {
  stop(.talven_condition("talven_error", message, call, ...))
}

# A role given as names: NULL or a character vector (formulas are read by .model_roles).
.variables <- function(value, role, call) {
  if (is.null(value)) return(NULL)
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

# A variable as the study layer takes it: doubles, or for text (character or factor) its values
# and a factor's levels, which the layer codes when the variable is a treatment.
.as_column <- function(values, name, call) {
  if (is.factor(values)) return(list(as.character(values), levels(values)))
  if (is.character(values)) return(list(values, NULL))
  .as_double(values, name, call)
}

# New data's text treatment in the codes of the fit; a value the fit never saw is missing.
.coded <- function(values, name, coding) {
  rows <- coding[coding$Variable == name, , drop = FALSE]
  as.double(rows$Code[match(sub(" +$", "", as.character(values)), rows$Value)])
}

.results <- function(study) .Call(C_talven_r_results, study)

# Warnings as R warnings; on failure an R error with the errors and the diagnostic lines.
.signal <- function(results, ok, call) {
  m <- data.frame(severity = results[["messages.Severity"]], text = results[["messages.Text"]],
                  stringsAsFactors = FALSE)
  for (text in m$text[m$severity == "warning"]) {
    warning(.talven_condition("talven_warning", text, call))
  }
  if (!ok) {
    shown <- m$severity == "error" | (m$severity == "text" & nzchar(trimws(m$text)))
    lines <- ifelse(m$severity[shown] == "text", paste0("  ", trimws(m$text[shown])),
                    m$text[shown])
    .stop(paste(lines, collapse = "\n"), call, diagnostic = results[["diagnostic"]],
          messages = m)
  }
  m
}

# The number an argument hands to the study layer, or NULL when it is not given.
.option_value <- function(row, args, roles) {
  if (!is.na(row$count_of)) {
    # A stage has one treatment more than it has treatment variables.
    given <- roles[[row$count_of]]
    return(if (is.null(given)) NULL else length(given) + 1)
  }
  if (is.na(row$argument) || !(row$kind %in% c("integer", "real", "seed", "flag"))) return(NULL)
  value <- args[[row$argument]]
  if (row$kind == "flag") return(if (isTRUE(value)) 1 else NULL)
  value
}

.contrast_matrix <- function(contrasts, call) {
  contrast_names <- NULL
  if (is.data.frame(contrasts)) {
    contrast_names <- names(contrasts)
    for (name in contrast_names) .as_double(contrasts[[name]], name, call)
    contrasts <- as.matrix(contrasts)
  }
  if (is.null(dim(contrasts))) contrasts <- matrix(contrasts, nrow = 1L)
  if (!is.numeric(contrasts) || length(dim(contrasts)) != 2L) {
    .stop("contrasts must be a numeric matrix with one row per contrast.", call)
  }
  list(matrix = matrix(as.double(contrasts), nrow = nrow(contrasts)), names = contrast_names)
}

# The result columns named "table.column", gathered into one data frame per table.
.tables <- function(results) {
  dotted <- grep(".", names(results), fixed = TRUE, value = TRUE)
  parts <- strsplit(dotted, ".", fixed = TRUE)
  tables <- list()
  for (k in seq_along(dotted)) {
    tables[[parts[[k]][1L]]][[parts[[k]][2L]]] <- results[[dotted[k]]]
  }
  lapply(tables, function(columns) as.data.frame(columns, stringsAsFactors = FALSE))
}

.data_frame <- function(data, call) {
  if (!is.data.frame(data) && !is.list(data)) {
    .stop("data must be a data frame or a list of variables.", call)
  }
  data <- as.data.frame(data, stringsAsFactors = FALSE, optional = TRUE)
  if (anyDuplicated(names(data))) {
    .stop(sprintf("The data have more than one variable named %s.",
                  names(data)[anyDuplicated(names(data))]), call)
  }
  data
}

# Which text value of a treatment is coded -1 and which 1 (no rows without text treatments).
.coding <- function(table) {
  if (is.null(table)) {
    return(data.frame(Variable = character(), Value = character(), Code = integer(),
                      stringsAsFactors = FALSE))
  }
  table$Code <- as.integer(table$Code)
  table
}

# The result of a run: the estimate table, the messages, and every other result by its name.
.fit_object <- function(study, results, messages, variables, used, data) {
  tables <- .tables(results)
  results <- results[!grepl(".", names(results), fixed = TRUE)]
  for (row in split(.options, seq_len(nrow(.options)))) {
    if (row$kind == "flag" && !is.na(row$argument) && !is.null(results[[row$argument]])) {
      results[[row$argument]] <- results[[row$argument]] == 1
    }
  }
  if (!isTRUE(results$intervals)) results["seed"] <- list(NULL)
  table <- tables$coef
  table$Stage <- as.integer(table$Stage)
  table$Lower[is.nan(table$Lower)] <- NA
  table$Upper[is.nan(table$Upper)] <- NA
  own <- c("rules1", "rules2", "regime_value", "mean_outcome")
  structure(class = "talven", c(list(
    table = table,
    notes = messages$text[messages$severity == "note"],
    warnings = c(messages$text[messages$severity == "warning"], results$collinear),
    rules = list(stage1 = results$rules1, stage2 = results$rules2, value = results$regime_value,
                 mean_outcome = results$mean_outcome),
    coding = .coding(tables$coding),
    variables = variables, used = used, data = data, study = study),
    results[setdiff(names(results), own)]))
}

# talven(): the arguments as the option table declares them, the analysis in one call, then the
# results by name.
.talven_fit <- function(call, args) {
  for (name in names(args)) {
    if (identical(args[[name]], quote(expr = ))) .stop(sprintf("%s must be given.", name), call)
  }
  rows <- split(.options, seq_len(nrow(.options)))
  argument_of <- function(statement) .options$argument[.options$statement == statement]
  model <- .model_roles(rows, args, .data_frame(args[[argument_of("DATA")]], call), call)
  data <- model$data
  variables <- names(data)
  roles <- model$roles
  used <- model$used
  columns <- lapply(variables, function(name) {
    if (name %in% used) .as_column(data[[name]], name, call) else NULL
  })
  lists <- model$lists
  options <- unlist(lapply(unname(rows), function(row) {
    value <- .option_value(row, args, roles)
    if (is.null(value)) return(NULL)
    if (!is.numeric(value) && !is.logical(value)) {
      .stop(sprintf("%s must be a number.", row$argument), call)
    }
    stats::setNames(as.double(value), row$statement)
  }), use.names = TRUE)
  contrasts <- args[[argument_of("CONTRAST1")]]
  if (!is.null(contrasts)) contrasts <- .contrast_matrix(contrasts, call)

  progress <- if (is.null(args$progress)) interactive() else isTRUE(args$progress)
  fit <- .Call(C_talven_r_fit, variables, columns, lists, options, contrasts$matrix,
               contrasts$names, progress, model$products)
  if (fit[[3L]]) .interrupt()
  results <- .results(fit[[1L]])
  messages <- .signal(results, fit[[2L]], call)
  for (text in results$collinear) warning(.talven_condition("talven_warning", text, call))
  .fit_object(fit[[1L]], results, messages, variables, used, data)
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
