# Included by the CMake scripts that run a program of the build as a
# process: sets `runner`, the command line put in front of the program.
# With -DWINE_PREFIX_SCRIPT=<scripts/wine-prefix.sh> (the Windows build) the
# program runs under Wine in the test prefix, directly (not through
# wine-exec.sh, which gives it no standard input); otherwise it runs as it
# is. Either way under a time-out, so a hung program cannot hold the test.
if(WINE_PREFIX_SCRIPT)
  execute_process(COMMAND ${WINE_PREFIX_SCRIPT} OUTPUT_VARIABLE prefix RESULT_VARIABLE rc
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "no Wine prefix")
  endif()
  set(ENV{WINEPREFIX} "${prefix}")
  set(ENV{WINEDEBUG} "-all")
  set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
  set(runner timeout 300 wine)
else()
  set(runner timeout 300)
endif()
