# Runs talven_coverage with a handful of small repetitions and checks that it ends normally and
# prints the table of every model. Coverage itself is not judged: a few repetitions cannot. Then
# checks the derived true coefficients against a simulation of 400000 subjects per model.
execute_process(
  COMMAND ${PROGRAM} --n 150 --reps 3 --nboot1 60 --nboot2 40 --naive 40 --ngrid 4
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
message("${out}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "talven_coverage ended with status ${status}\n${err}")
endif()
foreach(model regular regular_responders no_stage2_effect effect_in_one_arm tiny_effect)
  if(NOT out MATCHES "Model ${model} \\(")
    message(FATAL_ERROR "no table for the model ${model}")
  endif()
endforeach()
foreach(term intercept x o11 o11:a1 a1)
  if(NOT out MATCHES "\n  ${term} +-?[0-9]+\\.[0-9]+ +[0-9]\\.[0-9]+ ")
    message(FATAL_ERROR "no coverage row for ${term}")
  endif()
endforeach()
if(NOT out MATCHES "Lowest adaptive coverage: [0-9]\\.[0-9]+")
  message(FATAL_ERROR "no summary line")
endif()

# The value table's study: every model's embedded regimes and differences, and its summary.
execute_process(
  COMMAND ${PROGRAM} --n 150 --reps 3 --study value --nbootvalue 40
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
message("${out}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "talven_coverage --study value ended with status ${status}\n${err}")
endif()
foreach(row "a1,a2 = \\(-1,-1\\)" "a1,a2 = \\(\\+1,\\+1\\)" "\\(-1,\\+1\\) - \\(\\+1,-1\\)")
  if(NOT out MATCHES "\n  ${row} +-?[0-9]+\\.[0-9]+ +[0-9]\\.[0-9]+ +[0-9]\\.[0-9]+ ")
    message(FATAL_ERROR "no coverage row ${row}")
  endif()
endforeach()
if(NOT out MATCHES "Embedded regimes: lowest coverage [0-9]\\.[0-9]+, mean [0-9]\\.[0-9]+ over 50 figures")
  message(FATAL_ERROR "no value summary line")
endif()

execute_process(
  COMMAND ${PROGRAM} --check-truth 400000
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out)
message("${out}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the derived true coefficients or regime values disagree with the simulation")
endif()
