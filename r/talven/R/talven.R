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
    .stop(.explanation(lines, results[["diagnostic"]]), call,
          diagnostic = results[["diagnostic"]], messages = m)
  }
  m
}

# The first ERROR that says what went wrong, then the whole block as the log shows it. A failed
# estimation's ERROR is generic: its cause is the diagnostic's last line.
.explanation <- function(lines, diagnostic) {
  if (!length(lines)) return("The analysis failed.")
  cause <- if (length(diagnostic)) trimws(diagnostic[length(diagnostic)]) else lines[1L]
  paste(unique(c(cause, lines)), collapse = "\n")
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
.coding_table <- function(table) {
  if (is.null(table)) {
    return(data.frame(Variable = character(), Value = character(), Code = integer(),
                      stringsAsFactors = FALSE))
  }
  table$Code <- as.integer(table$Code)
  table
}

# The result of a run: the estimate table, the messages, and every other result by its name.
.fit_object <- function(study, results, messages, variables, used, data, arguments) {
  tables <- .tables(results)
  results <- results[!grepl(".", names(results), fixed = TRUE)]
  for (row in split(.options, seq_len(nrow(.options)))) {
    if (row$kind == "flag" && !is.na(row$argument) && !is.null(results[[row$argument]])) {
      results[[row$argument]] <- results[[row$argument]] == 1
    }
  }
  if (!isTRUE(results$intervals) && !isTRUE(results$value)) results["seed"] <- list(NULL)
  # With VALUE the value table stands in the flag's place; without it, NULL.
  value_table <- tables$value
  if (!is.null(value_table)) {
    for (column in names(value_table)) {
      if (is.numeric(value_table[[column]])) value_table[[column]][is.nan(value_table[[column]])] <- NA
    }
  }
  results["value"] <- list(value_table)
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
    coding = .coding_table(tables$coding),
    out_texts = tables$out_texts,
    variables = variables, used = used, data = data, arguments = arguments,
    cache = .cache(study, variables)),
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
  # The variables the transformations read are kept too, to compute them again on new data and
  # to rebuild the study of a fit read back.
  fit <- .fit_object(fit[[1L]], results, messages, variables, used,
                     data[union(used, model$sources)],
                     args[setdiff(names(args), argument_of("DATA"))])
  fit$formulas <- model$formulas
  fit
}

# Ctrl-C stopped the analysis, which has returned: the interrupt R would have signalled, so that
# tryCatch(interrupt = ) and withCallingHandlers see it, and otherwise back to the top level.
.interrupt <- function() {
  signalCondition(structure(class = c("interrupt", "condition"),
                            list(message = "", call = NULL)))
  invokeRestart("abort")
}

# The value table of a fit run with value = TRUE: the estimated regime, the embedded regimes and
# their differences, with intervals.
value <- function(object, ...) UseMethod("value")

value.talven <- function(object, ...) {
  if (is.null(object$value)) stop("The fit has no value table; run talven() with value = TRUE.")
  object$value
}
