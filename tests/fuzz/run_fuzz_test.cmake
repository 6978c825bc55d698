# One bounded fuzz run as a test: the seeds are read, new inputs and any
# crash go under WORK (emptied first). Fails when the fuzzer finds a crash,
# a broken invariant, a leak or an input that runs too long.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=20 -print_final_stats=1
          -dict=${DICTIONARY} -artifact_prefix=${WORK}/ ${WORK}/corpus ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${result}); the input is under ${WORK}")
endif()
