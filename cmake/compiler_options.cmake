# Warnings, reproducible floating point and sanitizers for every target of the project.
add_library(talven_options INTERFACE)
target_compile_options(talven_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  # A fused multiply-add can move the per-subject statistic across its threshold: never contract.
  -ffp-contract=off)
if(TALVEN_WERROR)
  target_compile_options(talven_options INTERFACE -Werror)
endif()
if(TALVEN_FAULT_INJECTION)
  target_compile_definitions(talven_options INTERFACE KESTRION_FAULT_INJECTION=1)
endif()
if(TALVEN_SANITIZE)
  target_compile_options(talven_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                  -fno-sanitize-recover=undefined)
  target_link_options(talven_options INTERFACE -fsanitize=address,undefined)
endif()
if(TALVEN_SANITIZE_THREAD)
  target_compile_options(talven_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(talven_options INTERFACE -fsanitize=thread)
endif()
if(TALVEN_COVERAGE)
  # Atomic counters: the interval engine's threads update them together, and plain counters
  # can end negative, which gcovr refuses to read.
  target_compile_options(talven_options INTERFACE --coverage -fprofile-update=atomic)
  target_link_options(talven_options INTERFACE --coverage)
endif()
if(TALVEN_BUILD_FUZZ)
  # Coverage feedback in every object; the fuzz programs alone link the fuzzer's main.
  target_compile_options(talven_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
target_include_directories(talven_options INTERFACE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
