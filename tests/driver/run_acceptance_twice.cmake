# Starts PROGRAM twice at the same moment in the current directory: each must
# print exactly its summary line and exit with 0, as when it runs alone, so
# neither may touch the other's workspace.
set(expected_stdout
    "sweep expansion=DETERMINISTIC t=TABLE-VERIFIED stats=MEAN+VAR+CI shape=KNOWN-TRUTH regime=KNOWN-TRUTH table=COMPLETE resume=REUSES cross-version=RECOMPUTES map=TWO-AXIS report=SHAPE-NOT-BEST s1=EXECUTABLE\n")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND sh -c "for run in a b; do { \"$0\" >\"$1/$run.out\" 2>\"$1/$run.err\"; echo $? >\"$1/$run.status\"; } & done; wait"
                        "${PROGRAM}" "${WORK}"
                RESULT_VARIABLE shell)
set(problems "")
foreach(run a b)
  file(READ "${WORK}/${run}.out" out)
  file(READ "${WORK}/${run}.err" err)
  file(STRINGS "${WORK}/${run}.status" status)
  if(NOT status STREQUAL "0")
    string(APPEND problems "run ${run}: exit status ${status} instead of 0\n")
  endif()
  if(NOT err STREQUAL "")
    string(APPEND problems "run ${run}: standard error is not empty: [${err}]\n")
  endif()
  if(NOT out STREQUAL expected_stdout)
    string(APPEND problems "run ${run}: standard output differs: [${out}]\n")
  endif()
endforeach()
if(NOT problems STREQUAL "")
  message(FATAL_ERROR "${problems}")
endif()
