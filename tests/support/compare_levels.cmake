# Runs TOOL (scene_checksums) at the process's own processor level and with ORVO_CPU_LEVEL set
# to baseline, and fails unless both print the same checksums.
execute_process(COMMAND ${TOOL} OUTPUT_VARIABLE best RESULT_VARIABLE best_result)
set(ENV{ORVO_CPU_LEVEL} baseline)
execute_process(COMMAND ${TOOL} OUTPUT_VARIABLE baseline RESULT_VARIABLE baseline_result)
if(NOT best_result EQUAL 0 OR NOT baseline_result EQUAL 0)
  message(FATAL_ERROR "scene_checksums failed: ${best_result} / ${baseline_result}")
endif()
if(NOT best STREQUAL baseline)
  message(FATAL_ERROR "outputs differ\nbest level:\n${best}\nbaseline level:\n${baseline}")
endif()
message(STATUS "same output at both levels:\n${best}")
