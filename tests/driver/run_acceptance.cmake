# Runs PROGRAM in the current directory and checks its three outputs exactly.
set(expected_stdout
    "sweep expansion=DETERMINISTIC t=TABLE-VERIFIED stats=MEAN+VAR+CI shape=KNOWN-TRUTH regime=KNOWN-TRUTH table=COMPLETE resume=REUSES cross-version=RECOMPUTES map=TWO-AXIS report=SHAPE-NOT-BEST s1=EXECUTABLE\n")

execute_process(COMMAND "${PROGRAM}"
                RESULT_VARIABLE status
                OUTPUT_VARIABLE out
                ERROR_VARIABLE err)

set(problems "")
if(NOT status STREQUAL "0")
  string(APPEND problems "exit status ${status} instead of 0\n")
endif()
if(NOT err STREQUAL "")
  string(APPEND problems "standard error is not empty: [${err}]\n")
endif()
if(NOT out STREQUAL expected_stdout)
  string(APPEND problems "standard output differs: [${out}]\n")
endif()
if(NOT problems STREQUAL "")
  message(FATAL_ERROR "${problems}")
endif()
