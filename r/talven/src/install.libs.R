# The package's shared object, with the symbol table R CMD check reads, and the study layer's
# shared libraries when configure took them from an installed tree (TALVEN_HOME), go to libs/.
files <- c(paste0("talven", SHLIB_EXT), "symbols.rds", "libTalvenFrontend.so", "libKestrion.so")
files <- files[file.exists(files)]
dest <- file.path(R_PACKAGE_DIR, paste0("libs", R_ARCH))
dir.create(dest, recursive = TRUE, showWarnings = FALSE)
file.copy(files, dest, overwrite = TRUE)
