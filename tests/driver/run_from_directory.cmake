# Runs PROGRAM from a directory DEPTH levels below a scratch root WORK and
# checks where it looks for its declaration files. With FILES set, WORK holds
# Vostel/experiments/ with copies of the repository's declaration files.
# EXPECT is "pass" (exactly the summary line, status 0) or "missing" (the
# search fails in check 6: nothing on standard output, the search's message
# on standard error, status 1).
file(REMOVE_RECURSE "${WORK}")
if(FILES)
  file(COPY "${SOURCE_DIR}/Vostel/experiments/o1-phase-scramble.vostel"
            "${SOURCE_DIR}/Vostel/experiments/s1-stochasticity-sweep.vostel"
       DESTINATION "${WORK}/Vostel/experiments")
endif()
set(start "${WORK}")
if(DEPTH GREATER 0)
  foreach(level RANGE 1 ${DEPTH})
    string(APPEND start "/level${level}")
  endforeach()
endif()
file(MAKE_DIRECTORY "${start}")

execute_process(COMMAND "${PROGRAM}"
                WORKING_DIRECTORY "${start}"
                RESULT_VARIABLE status
                OUTPUT_VARIABLE out
                ERROR_VARIABLE err)

if(EXPECT STREQUAL "pass")
  set(expected_status "0")
  set(expected_out
      "sweep expansion=DETERMINISTIC t=TABLE-VERIFIED stats=MEAN+VAR+CI shape=KNOWN-TRUTH regime=KNOWN-TRUTH table=COMPLETE resume=REUSES cross-version=RECOMPUTES map=TWO-AXIS report=SHAPE-NOT-BEST s1=EXECUTABLE\n")
  set(expected_err "")
else()
  set(expected_status "1")
  set(expected_out "")
  set(expected_err "sweep: cannot find Vostel/experiments/o1-phase-scramble.vostel\n")
endif()

set(problems "")
if(NOT status STREQUAL expected_status)
  string(APPEND problems "exit status ${status} instead of ${expected_status}\n")
endif()
if(NOT out STREQUAL expected_out)
  string(APPEND problems "standard output differs: [${out}]\n")
endif()
if(NOT err STREQUAL expected_err)
  string(APPEND problems "standard error differs: [${err}]\n")
endif()
file(REMOVE_RECURSE "${WORK}")
if(NOT problems STREQUAL "")
  message(FATAL_ERROR "started ${DEPTH} levels below ${WORK}:\n${problems}")
endif()
