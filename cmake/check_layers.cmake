# Fails when a source file includes a header that its folder may not include: the layer diagram
# of CONTRIBUTING.md, made checkable. Run as
#
#   cmake -DROOT=<source tree> -P cmake/check_layers.cmake
#
# Quoted includes resolve as the compiler resolves them here (beside the including file, then
# from the tree's root, then from include/); angle includes from the root and include/ only.
# Includes that resolve to no file of the tree (system and generated headers) are not judged.

if(NOT DEFINED ROOT)
  message(FATAL_ERROR "check_layers: give the source tree as -DROOT=<folder>.")
endif()
get_filename_component(ROOT "${ROOT}" ABSOLUTE)

# Every public header of the compute library, and the header-only ones a front end may use
# without linking the library.
set(library_headers "^include/kestrion[a-z_]*\\.h$")
set(header_only "^include/kestrion_(model|options|plan)\\.h$")
set(frontend_header "^include/talven_(frontend|options)\\.h$")
set(host_header "^include/talven_host\\.h$")

# layer_<folder>: what the files of <folder> may include besides their own folder's files.
# Test folders may include any test helper, any public header, and the product folders their
# test program links.
set(layer_numerics "")
set(layer_engine "^numerics/" "${library_headers}")
set(layer_include "^include/")
set(layer_frontend "${library_headers}" "${frontend_header}")
set(layer_procedure "${frontend_header}" "${host_header}" "${header_only}")
set(layer_host "${host_header}")
set(layer_python "${frontend_header}")
set(layer_r "${frontend_header}")
set(layer_examples "^include/")
set(layer_bench "^examples/" "^include/")
set(layer_fuzz "^(host|procedure|frontend)/" "^include/")
set(test_common "^tests/" "^include/")
set(layer_tests ${test_common})
set(layer_tests/numerics ${test_common} "^numerics/")
set(layer_tests/engine ${test_common} "^(engine|numerics)/")
set(layer_tests/frontend ${test_common} "^(frontend|engine|numerics)/")
set(layer_tests/procedure ${test_common} "^(procedure|frontend|engine|numerics)/")
set(layer_tests/host ${test_common} "^host/")
set(layer_tests/e2e ${test_common} "^(host|examples)/")
set(layer_tests/golden ${test_common})
set(layer_tests/study ${test_common} "^examples/")
set(layer_tests/fuzz ${test_common} "^(fuzz|host|procedure|frontend|engine|numerics)/")
set(layer_tests/frontends ${test_common})
# Helpers compiled into whichever test program includes them.
set(layer_tests/support ${test_common} "^(numerics|engine|frontend|procedure|host|examples)/")

# The folder whose rule applies to a file: its top folder, or tests/<folder> for the tests.
function(layer_of path out)
  string(REGEX MATCH "^tests/[^/]+/" test_folder "${path}")
  if(test_folder)
    string(REGEX REPLACE "/$" "" folder "${test_folder}")
  else()
    string(REGEX MATCH "^[^/]+/" folder "${path}")
    string(REGEX REPLACE "/$" "" folder "${folder}")
  endif()
  set(${out} "${folder}" PARENT_SCOPE)
endfunction()

# The tree-relative path of the file an include names, or "" when it names none of the tree.
function(resolve_include file header angle out)
  get_filename_component(dir "${ROOT}/${file}" DIRECTORY)
  set(candidates "${ROOT}/${header}" "${ROOT}/include/${header}")
  if(NOT angle)
    list(PREPEND candidates "${dir}/${header}")
  endif()
  foreach(candidate IN LISTS candidates)
    get_filename_component(candidate "${candidate}" ABSOLUTE)
    if(EXISTS "${candidate}" AND NOT IS_DIRECTORY "${candidate}")
      file(RELATIVE_PATH relative "${ROOT}" "${candidate}")
      if(NOT relative MATCHES "^\\.\\./")
        set(${out} "${relative}" PARENT_SCOPE)
        return()
      endif()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

function(allowed folder target out)
  if(target MATCHES "^${folder}/")
    set(${out} TRUE PARENT_SCOPE)
    return()
  endif()
  foreach(pattern IN LISTS layer_${folder})
    if(target MATCHES "${pattern}")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} FALSE PARENT_SCOPE)
endfunction()

# Source folders of the tree: build trees, install trees and hidden folders are not sources, nor
# the R package's links to the folders its tarball carries (they are checked where they point).
file(GLOB top_entries RELATIVE "${ROOT}" "${ROOT}/*")
set(sources "")
foreach(entry IN LISTS top_entries)
  if(NOT IS_DIRECTORY "${ROOT}/${entry}" OR entry MATCHES "^(\\.|build|out$)"
     OR EXISTS "${ROOT}/${entry}/CMakeCache.txt")
    continue()
  endif()
  file(GLOB_RECURSE found RELATIVE "${ROOT}" "${ROOT}/${entry}/*.h" "${ROOT}/${entry}/*.hh"
       "${ROOT}/${entry}/*.hpp" "${ROOT}/${entry}/*.c" "${ROOT}/${entry}/*.cc"
       "${ROOT}/${entry}/*.cpp" "${ROOT}/${entry}/*.cxx")
  list(APPEND sources ${found})
endforeach()
list(FILTER sources EXCLUDE REGEX "(^|/)\\.|^python/build/|^r/talven/tools/")
list(SORT sources)

set(violations 0)
foreach(file IN LISTS sources)
  layer_of("${file}" folder)
  if(NOT DEFINED layer_${folder})
    message("${file}: the folder ${folder} has no layer rule; add it to cmake/check_layers.cmake "
            "and to the layer diagram of CONTRIBUTING.md.")
    math(EXPR violations "${violations} + 1")
    continue()
  endif()
  # One list element per line: the characters that CMake's lists treat specially go first.
  file(READ "${ROOT}/${file}" content)
  string(REGEX REPLACE "[][;\\]" " " content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(line_number 0)
  foreach(line IN LISTS lines)
    math(EXPR line_number "${line_number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*([\"<])([^\">]+)[\">]")
      continue()
    endif()
    set(header "${CMAKE_MATCH_2}")
    set(angle FALSE)
    if(CMAKE_MATCH_1 STREQUAL "<")
      set(angle TRUE)
    endif()
    resolve_include("${file}" "${header}" ${angle} target)
    if(target STREQUAL "")
      continue()
    endif()
    allowed("${folder}" "${target}" ok)
    if(NOT ok)
      message("${file}:${line_number}: includes ${target}, which the folder ${folder} may not "
              "include (see the layer diagram of CONTRIBUTING.md).")
      math(EXPR violations "${violations} + 1")
    endif()
  endforeach()
endforeach()

list(LENGTH sources checked)
if(violations GREATER 0)
  message(FATAL_ERROR "check_layers: ${violations} forbidden include(s) in ${checked} files.")
endif()
message(STATUS "check_layers: ${checked} files, every include within its layer.")
