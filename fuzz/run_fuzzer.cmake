# Runs one fuzzer for a bounded time on a fresh copy of its seed corpus, so the
# inputs it adds stay in the build tree and the checked-in seeds stay small.
# A failing input is saved in WORK and fails the test.
#   cmake -DFUZZER=<exe> -DSEEDS=<dir> -DWORK=<dir> -DSECONDS=<n> -P run_fuzzer.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus)
if(EXISTS ${SEEDS})
  file(COPY ${SEEDS}/ DESTINATION ${WORK}/corpus)
endif()
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/ ${WORK}/corpus
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${FUZZER} failed (${status}); the failing input is in ${WORK}")
endif()
