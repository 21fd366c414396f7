# The layer check on small trees: each case writes its files into a fresh tree, runs the check
# and compares its verdict and the line that names the problem.
#
#   cmake -DCHECK=<cmake/check_layers.cmake> -DWORK=<scratch folder> -P check_layers_test.cmake

# case_<name>: "file|text" entries; expect_<name>: "" when the tree passes, else a regular
# expression the report must match.
set(public "include/kestrion.h|" "include/kestrion_model.h|" "include/talven_frontend.h|"
    "include/talven_host.h|" "engine/model.h|" "frontend/study.h|" "host/log.h|"
    "tests/support/files.h|")

set(cases allowed private_engine relative_escape tests_from_product unknown_folder
    host_test_reaches_engine build_tree_ignored angle_include line_numbers)

set(case_allowed ${public}
    "engine/fit.cc|#include \"engine/model.h\"\n#include \"kestrion_model.h\"\n#include <vector>\n"
    "frontend/regime.cc|#include \"frontend/study.h\"\n#include \"kestrion_model.h\"\n"
    "host/main.cc|#include \"log.h\"\n#include \"talven_host.h\"\n#include \"readstat.h\"\n"
    "tests/engine/fit_test.cc|#include \"engine/model.h\"\n#include \"tests/support/files.h\"\n")
set(expect_allowed "")

set(case_private_engine ${public} "frontend/regime.cc|#include \"engine/model.h\"\n")
set(expect_private_engine "frontend/regime.cc:1: includes engine/model.h, which the folder frontend")

set(case_relative_escape ${public} "frontend/regime.cc|#include \"../engine/model.h\"\n")
set(expect_relative_escape "frontend/regime.cc:1: includes engine/model.h")

set(case_tests_from_product ${public} "host/log.cc|#include \"tests/support/files.h\"\n")
set(expect_tests_from_product "host/log.cc:1: includes tests/support/files.h")

set(case_unknown_folder ${public} "tools/gen.cc|int main() { return 0; }\n")
set(expect_unknown_folder "tools/gen.cc: the folder tools has no layer rule")

set(case_host_test_reaches_engine ${public} "tests/host/log_test.cc|#include \"engine/model.h\"\n")
set(expect_host_test_reaches_engine "tests/host/log_test.cc:1: includes engine/model.h")

set(case_build_tree_ignored ${public} "build/dev/frontend/x.cc|#include \"engine/model.h\"\n"
    "tmpbuild/CMakeCache.txt|" "tmpbuild/x.cc|#include \"engine/model.h\"\n")
set(expect_build_tree_ignored "")

set(case_angle_include ${public} "host/log.cc|#include <kestrion_model.h>\n")
set(expect_angle_include "host/log.cc:1: includes include/kestrion_model.h")

# Semicolons, brackets and continued lines must not shift the line numbers.
set(case_line_numbers ${public}
    "frontend/a.cc|int x[2] = {1, 2}\;\n#define A(y) \\\n  y\;\n\n#include \"engine/model.h\"\n")
set(expect_line_numbers "frontend/a.cc:5: includes engine/model.h")

set(failures 0)
foreach(name IN LISTS cases)
  set(tree "${WORK}/${name}")
  file(REMOVE_RECURSE "${tree}")
  foreach(entry IN LISTS case_${name})
    string(FIND "${entry}" "|" bar)
    string(SUBSTRING "${entry}" 0 ${bar} path)
    math(EXPR start "${bar} + 1")
    string(SUBSTRING "${entry}" ${start} -1 text)
    file(WRITE "${tree}/${path}" "${text}")
  endforeach()
  execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${tree} -P ${CHECK}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(report "${out}${err}")
  if(expect_${name} STREQUAL "")
    if(NOT result EQUAL 0)
      message(SEND_ERROR "${name}: the check refused an allowed tree:\n${report}")
      math(EXPR failures "${failures} + 1")
    endif()
  elseif(result EQUAL 0)
    message(SEND_ERROR "${name}: the check passed a forbidden include:\n${report}")
    math(EXPR failures "${failures} + 1")
  elseif(NOT report MATCHES "${expect_${name}}")
    message(SEND_ERROR "${name}: the report does not say \"${expect_${name}}\":\n${report}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures EQUAL 0)
  message(STATUS "check_layers_test: every case as expected.")
endif()
