# cmake -DPAGE=<file> -P CheckManualPage.cmake: renders the page with man -l
# and fails on any warning or an empty rendering.
execute_process(COMMAND man --warnings -l ${PAGE} RESULT_VARIABLE result OUTPUT_VARIABLE text
                ERROR_VARIABLE warnings)
if(NOT result EQUAL 0 OR NOT warnings STREQUAL "" OR text STREQUAL "")
  message(FATAL_ERROR "${PAGE}: status ${result}, warnings:\n${warnings}")
endif()
