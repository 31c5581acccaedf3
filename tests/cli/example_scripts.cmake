# The scripts under examples/ as a user would run them: the Slurm array job
# with each array task started by hand (SLURM_ARRAY_TASK_ID set as Slurm
# would), then its merge job, and the GNU parallel recipe. Both must end in a
# run that reuses all 36 runs of the S1 sweep. Arguments: VOSTEL, SOURCE
# (the repository root), WORK (a scratch directory).
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
find_program(BASH bash REQUIRED)
set(environment VOSTEL=${VOSTEL} VOSTEL_WORK=${WORK}/slurm
    VOSTEL_SWEEP=${SOURCE}/Vostel/experiments/s1-stochasticity-sweep.vostel)

function(run_checked)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE failed OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(failed)
    message(FATAL_ERROR "failed (${failed}): ${ARGN}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

foreach(task 1 2 3 4)
  run_checked(${CMAKE_COMMAND} -E env ${environment} SLURM_ARRAY_TASK_ID=${task} SLURM_CPUS_PER_TASK=2
              ${BASH} ${SOURCE}/examples/slurm/s1-shard.sbatch)
endforeach()
run_checked(${CMAKE_COMMAND} -E env ${environment} ${BASH} ${SOURCE}/examples/slurm/s1-merge.sbatch)
file(READ ${WORK}/slurm/s1-report.txt report)
if(NOT report MATCHES "Runs:                 0 executed, 36 reused from the registry\n")
  message(FATAL_ERROR "the Slurm example's final run did not reuse every run:\n${report}")
endif()
foreach(output s1.csv s1.json s1.svg)
  if(NOT EXISTS ${WORK}/slurm/${output})
    message(FATAL_ERROR "the Slurm example wrote no ${output}")
  endif()
endforeach()

run_checked(${CMAKE_COMMAND} -E env ${environment} ${BASH} ${SOURCE}/examples/gnu-parallel-s1.sh ${WORK}/parallel)
# It prints the merge's one line, then the report.
string(FIND "${out}" "${report}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the GNU parallel example reports differently from the Slurm one:\n${out}")
endif()
file(REMOVE_RECURSE ${WORK})
