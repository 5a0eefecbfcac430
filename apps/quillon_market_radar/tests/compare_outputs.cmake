# Runs the programs FIRST and SECOND (through EMULATOR, when cross-built) and fails unless both
# succeed and print the same text. Run with `cmake -DFIRST=... -DSECOND=... -P compare_outputs.cmake`.
foreach(which FIRST SECOND)
  execute_process(COMMAND ${EMULATOR} ${${which}} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${${which}} ended with ${status}: ${err}")
  endif()
  set(${which}_OUT "${out}")
  message(STATUS "${${which}}: ${out}")
endforeach()
if(NOT FIRST_OUT STREQUAL SECOND_OUT)
  message(FATAL_ERROR "the two builds differ")
endif()
