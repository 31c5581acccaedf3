# The S1 sweep spread over four shards by GNU parallel, as on a cluster: each
# shard runs with its own registry, the registries are merged, and a final
# run on the merged registry must reuse every run and print the report of
# one unsharded run. Arguments: VOSTEL (the binary), SWEEP (the .vostel file),
# WORK (a scratch directory).
find_program(PARALLEL parallel REQUIRED)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run_checked)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(failed)
    message(FATAL_ERROR "failed (${failed}): ${ARGN}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# Four shards at once, one job each; --halt stops the lot when one fails.
run_checked(${PARALLEL} --will-cite --halt now,fail=1 --jobs 4
            ${VOSTEL} run ${SWEEP} --shard {}/4 --registry ${WORK}/shard-{} --jobs 1 --quiet ::: 1 2 3 4)
foreach(k 1 2 3 4)
  if(NOT EXISTS ${WORK}/shard-${k}/registry.jsonl)
    message(FATAL_ERROR "shard ${k} stored nothing")
  endif()
endforeach()
run_checked(${VOSTEL} registry merge ${WORK}/merged ${WORK}/shard-1 ${WORK}/shard-2 ${WORK}/shard-3 ${WORK}/shard-4)
run_checked(${VOSTEL} run ${SWEEP} --registry ${WORK}/merged)
set(merged "${out}")

# The reference: one unsharded run, then the same again on its registry.
run_checked(${VOSTEL} run ${SWEEP} --registry ${WORK}/single)
set(single "${out}")
run_checked(${VOSTEL} run ${SWEEP} --registry ${WORK}/single)
set(single_reused "${out}")

if(NOT merged STREQUAL single_reused)
  message(FATAL_ERROR "the merged shards report differently from one unsharded run:\n${merged}\n---\n${single_reused}")
endif()
if(NOT merged MATCHES "Runs:                 0 executed, 36 reused from the registry\n")
  message(FATAL_ERROR "the final run did not reuse every run:\n${merged}")
endif()
string(REGEX REPLACE "Runs:[^\n]*\n" "" merged_numbers "${merged}")
string(REGEX REPLACE "Runs:[^\n]*\n" "" single_numbers "${single}")
if(NOT merged_numbers STREQUAL single_numbers)
  message(FATAL_ERROR "the merged shards give other numbers than one unsharded run")
endif()
file(REMOVE_RECURSE ${WORK})
