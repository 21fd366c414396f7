# The package's shared object and the study layer it links go to libs/ together.
files <- c(paste0("talven", SHLIB_EXT), "libTalvenFrontend.so", "libKestrion.so")
dest <- file.path(R_PACKAGE_DIR, paste0("libs", R_ARCH))
dir.create(dest, recursive = TRUE, showWarnings = FALSE)
file.copy(files, dest, overwrite = TRUE)
