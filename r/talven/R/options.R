# Generated from include/talven_options.h by the bindings target; do not edit.

# How each argument of talven() reaches the study layer: its statement name, its kind, and the
# role whose variables count it.
.options <- data.frame(
  argument = c("data", "response", "stg1trt", "tailor1", "stg2trt", "tailor2", "main1",
    "main2", "stg2sample", "contrasts", NA, NA, "intervals", "alpha", "nbootstrap1",
    "nbootstrap2", "ngrid", "grid_scale", "seed", "cores", "minimize", "progress"),
  statement = c("DATA", "RESPONSE", "STG1TRT", "TAILOR1", "STG2TRT", "TAILOR2",
    "MAIN1", "MAIN2", "STG2SAMPLE", "CONTRAST1", "NTREATS1", "NTREATS2", "DERIVECI",
    "ALPHA", "NBOOTSTRAP1", "NBOOTSTRAP2", "NGRID", "GRID_SCALE", "SEED", "CORES",
    "MINIMIZE", "PROGRESS"),
  kind = c("input", "role", "role", "role", "role", "role", "role", "role", "role",
    "input", "integer", "integer", "flag", "real", "integer", "integer", "integer",
    "real", "seed", "integer", "flag", "package"),
  count_of = c(NA, NA, NA, NA, NA, NA, NA, NA, NA, NA, "STG1TRT", "STG2TRT", NA, NA,
    NA, NA, NA, NA, NA, NA, NA, NA),
  stringsAsFactors = FALSE)

talven <- function(data, response, stg1trt, tailor1, stg2trt, tailor2, main1 = NULL,
                   main2 = NULL, stg2sample = NULL, contrasts = NULL, intervals = FALSE,
                   alpha = 0.05, nbootstrap1 = 1000, nbootstrap2 = 1000, ngrid = 10,
                   grid_scale = 2.58, seed = NULL, cores = NULL, minimize = FALSE,
                   progress = NULL) {
  .talven_fit(sys.call()[1L], mget(.options$argument[!is.na(.options$argument)],
                                   envir = environment()))
}
