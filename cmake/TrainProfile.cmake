# The training run of the instrumented build: the null-modem benchmark with one pair streaming and
# with 16 cards of 8 ports, each briefly. Run as `cmake -DBENCH=... -DPROFILE=... -DSTAMP=... -P`.
file(GLOB old ${PROFILE}/*.gcda)
if(old)
  file(REMOVE ${old}) # counts from an older benchmark would be added to the new ones
endif()
foreach(arguments IN ITEMS "--pairs;1;--kib;256" "--pairs;64;--ports-per-card;8;--kib;16")
  execute_process(COMMAND ${BENCH} ${arguments} RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the training run `${BENCH} ${arguments}` failed: ${result}")
  endif()
endforeach()
file(TOUCH ${STAMP})
