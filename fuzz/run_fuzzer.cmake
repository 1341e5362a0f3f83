# Runs one libFuzzer target for SECONDS on a fresh copy of the corpus.
#   cmake -DFUZZER=... -DSEEDS=... -DWORK=... -DSECONDS=... -P run_fuzzer.cmake
foreach(variable FUZZER SEEDS WORK SECONDS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "run_fuzzer.cmake needs -D${variable}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/fuzz-artifacts)

execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -max_len=4096 -timeout=10 -rss_limit_mb=2048
          -print_final_stats=1 -artifact_prefix=${WORK}/fuzz-artifacts/
          ${WORK}/corpus ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB artifacts ${WORK}/fuzz-artifacts/*)
  message(FATAL_ERROR "fuzzer ended with ${result}; inputs kept: ${artifacts}")
endif()
