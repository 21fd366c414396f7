# Roles given as one-sided formulas keep R's meaning: the terms are those of R's model-frame rules
# (missing values passed through, for the study layer's complete-case rules), a transformation
# enters as a column under R's label, and a product of terms (a:b, or a*b's interaction) as the
# study layer's product of its factors, named a*b as the talven command names it. What cannot be
# represented is an error naming the term, never dropped.

.covariate_roles <- c("MAIN1", "TAILOR1", "MAIN2", "TAILOR2")

.term_error <- function(role, term, why, call) {
  .stop(sprintf("Term %s of %s %s.", term, tolower(role), why), call)
}

# The model frame of one formula: its variables as columns, under R's labels, and its terms as
# the variables (by label) each multiplies, in R's order.
.formula_frame <- function(formula, data, role, call) {
  if (length(formula) != 2L) {
    .stop(sprintf("%s must be a one-sided formula such as ~ x1 + x2.", tolower(role)), call)
  }
  terms <- tryCatch(stats::terms(formula, data = data),
                    error = function(e) .stop(sprintf("%s: %s", tolower(role),
                                                      conditionMessage(e)), call))
  if (!is.null(attr(terms, "offset"))) {
    label <- deparse(attr(terms, "variables")[[attr(terms, "offset")[1L] + 1L]])
    .term_error(role, label, "is an offset, which the model cannot hold", call)
  }
  if (attr(terms, "intercept") == 0L) {
    .stop(sprintf("%s: the model always holds an intercept; remove - 1 or + 0.",
                  tolower(role)), call)
  }
  for (label in attr(terms, "term.labels")) {
    if (!(role %in% .covariate_roles) && !(label %in% names(data))) {
      .term_error(role, label, "is an expression; this role takes a variable of the data", call)
    }
  }
  frame <- tryCatch(stats::model.frame(terms, data = data, na.action = stats::na.pass),
                    error = function(e) .stop(sprintf("%s: %s", tolower(role),
                                                      conditionMessage(e)), call))
  factors <- attr(terms, "factors")
  labels <- attr(terms, "term.labels")
  products <- lapply(seq_along(labels), function(k) rownames(factors)[factors[, k] != 0])
  list(frame = frame, labels = labels, products = products)
}

# A variable of the frame: a variable of the data by its own name, or a new column under R's
# label. Factors and character values are left to the study layer's own checks when they are
# variables of the data, as names are; a transformation must give one numeric value per row.
.frame_variable <- function(label, frame, data, role, call) {
  values <- frame[[label]]
  if (label %in% names(data) && identical(values, data[[label]])) {
    return(list(name = label, values = NULL))
  }
  if (label %in% names(data)) {
    .term_error(role, label, "is the label of a transformation and the name of a variable", call)
  }
  if (!is.null(dim(values)) && NCOL(values) != 1L) {
    .term_error(role, label, sprintf("gives %d columns; give each as a term of its own",
                                     NCOL(values)), call)
  }
  if (is.factor(values) || !(is.numeric(values) || is.logical(values))) {
    .term_error(role, label, sprintf(
      "is not numeric (%s); the analysis reads numeric variables only", class(values)[1L]), call)
  }
  list(name = label, values = as.double(values))
}

# One role's terms: a character vector of names, with a product as the vector of its factors.
.formula_terms <- function(formula, data, role, call) {
  parsed <- .formula_frame(formula, data, role, call)
  added <- list()
  terms <- lapply(seq_along(parsed$labels), function(k) {
    vapply(parsed$products[[k]], function(label) {
      variable <- .frame_variable(label, parsed$frame, data, role, call)
      if (!is.null(variable$values)) added[[label]] <<- variable$values
      variable$name
    }, character(1L), USE.NAMES = FALSE)
  })
  list(terms = terms, added = added)
}

# Every role: the data with the new columns of transformations, the term names of each role (a
# product named a*b), the products as factor positions after the variables, and the variables
# the terms use.
.model_roles <- function(rows, args, data, call) {
  roles <- list()
  term_lists <- list()
  for (row in rows) {
    value <- if (row$kind == "role") args[[row$argument]] else NULL
    if (is.null(value)) next
    if (inherits(value, "formula")) {
      given <- .formula_terms(value, data, row$statement, call)
      for (label in names(given$added)) data[[label]] <- given$added[[label]]
      term_lists[[row$statement]] <- given$terms
    } else {
      term_lists[[row$statement]] <- as.list(.variables(value, row$statement, call))
    }
  }
  variables <- names(data)
  products <- list()
  lists <- list()
  for (role in names(term_lists)) {
    terms <- term_lists[[role]]
    absent <- setdiff(unlist(terms), variables)
    if (length(absent)) {
      .stop(sprintf("Variable %s of %s is not in the data.", absent[1L], role), call)
    }
    roles[[role]] <- vapply(terms, paste, character(1L), collapse = "*")
    lists[[role]] <- vapply(terms, function(factors) {
      if (length(factors) == 1L) return(match(factors, variables) - 1L)
      key <- match(factors, variables) - 1L
      found <- Position(function(p) identical(p, key), products)
      if (is.na(found)) {
        products[[length(products) + 1L]] <<- key
        found <- length(products)
      }
      as.integer(length(variables) + found - 1L)
    }, integer(1L))
  }
  list(data = data, roles = roles, lists = lists, products = products,
       used = unique(unlist(term_lists, use.names = FALSE)))
}
