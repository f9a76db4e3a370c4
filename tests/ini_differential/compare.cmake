# Runs ini-dump over the corpus and compares its output with the expected
# output recorded from GetPrivateProfileStringA (Windows build under Wine).
#   -DPROGRAM=<ini-dump> [-DEMULATOR=<wine-exec.sh>] -DCORPUS=<dir> -DCASES=<file>
#   -DEXPECTED=<file> -DACTUAL=<file to write>
if(EMULATOR)
  set(command ${EMULATOR} ${PROGRAM})
else()
  set(command ${PROGRAM})
endif()
execute_process(COMMAND ${command} ${CORPUS} ${CASES}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "ini-dump failed (${result}): ${errors}${output}")
endif()
string(REPLACE "\r" "" output "${output}")
file(WRITE ${ACTUAL} "${output}")
file(READ ${EXPECTED} expected)
if(NOT output STREQUAL expected)
  execute_process(COMMAND diff -u ${EXPECTED} ${ACTUAL} OUTPUT_VARIABLE difference)
  message(FATAL_ERROR "INI values differ from GetPrivateProfileStringA's (expected, actual):\n${difference}")
endif()
string(REGEX MATCHALL "\n" lines "${output}")
list(LENGTH lines count)
message(STATUS "${count} INI values identical")
