# coverage_report: the line coverage of the product's code (numerics, engine, procedure, host and
# the public headers) from the gcov counts that the tests left in this build tree. Tests, examples,
# benchmarks and fuzz targets are not product code and are left out. Below 85 % it fails.
find_program(GCOVR_EXECUTABLE gcovr)
if(NOT GCOVR_EXECUTABLE)
  message(FATAL_ERROR "TALVEN_COVERAGE needs gcovr; install the Debian package gcovr "
                      "(scripts/install-deps.sh does so).")
endif()
add_custom_target(coverage_report
  COMMAND ${GCOVR_EXECUTABLE} --root ${PROJECT_SOURCE_DIR} --object-directory ${PROJECT_BINARY_DIR}
          --filter numerics/ --filter engine/ --filter procedure/ --filter host/ --filter include/
          --txt ${PROJECT_BINARY_DIR}/coverage.txt --print-summary --fail-under-line 85
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Line coverage of the product's code; the file-by-file table is in coverage.txt"
  VERBATIM)
