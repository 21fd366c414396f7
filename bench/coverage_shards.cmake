# The value studies of talven_coverage run as two shards under GNU parallel and joined by --merge
# print the table of one unsharded run, byte for byte. Skipped when GNU parallel is missing.
find_program(PARALLEL parallel)
if(NOT PARALLEL)
  message("SKIPPED: GNU parallel is not installed (Debian package parallel)")
  return()
endif()
set(options --study values --n 120 --reps 5 --nbootvalue 20 --nboot2 20 --nboottune 10)
execute_process(
  COMMAND ${PROGRAM} ${options}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE whole
  ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the unsharded run ended with status ${status}\n${err}")
endif()
file(REMOVE ${DIR}/shard_1.txt ${DIR}/shard_2.txt)
execute_process(
  COMMAND ${PARALLEL} --will-cite --halt now,fail=1 ${PROGRAM} ${options} --shard {}/2
          --out ${DIR}/shard_{}.txt ::: 1 2
  RESULT_VARIABLE status
  ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "a shard failed (status ${status})\n${err}")
endif()
execute_process(
  COMMAND ${PROGRAM} ${options} --merge ${DIR}/shard_1.txt ${DIR}/shard_2.txt
  RESULT_VARIABLE status
  OUTPUT_VARIABLE merged
  ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "--merge ended with status ${status}\n${err}")
endif()
if(NOT merged STREQUAL whole)
  message(FATAL_ERROR "the merged table differs from the unsharded one:\n${merged}\n---\n${whole}")
endif()
# One shard alone is no complete study.
execute_process(
  COMMAND ${PROGRAM} ${options} --merge ${DIR}/shard_1.txt
  RESULT_VARIABLE status
  OUTPUT_QUIET ERROR_QUIET)
if(status EQUAL 0)
  message(FATAL_ERROR "--merge of one shard of two succeeded")
endif()
message("${merged}")
