# Rebuilds pelorlib's import library for the __stdcall build (run after the
# DLL is linked):
#   cmake -DDLLTOOL=... -DEXPORTS_DEF=... -DDLL_NAME=pelorlib.dll -DIMPLIB=... -P stdcall_implib.cmake
# The DLL exports the plain names (linked with --kill-at), but a caller
# compiled with __stdcall asks for _KvOpenSession@20 and its kin. ld's
# --output-def lists each export as "KvOpenSession = KvOpenSession@20";
# dlltool -k turns the decorated names into an import library whose symbols
# carry the decoration and whose imports name the plain exports.
file(STRINGS "${EXPORTS_DEF}" lines)
set(decorated "EXPORTS\n")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*=[ \t]*([A-Za-z_][A-Za-z0-9_]*@[0-9]+)")
    string(APPEND decorated "${CMAKE_MATCH_1}\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(NOT count EQUAL 12)
  message(FATAL_ERROR "${EXPORTS_DEF}: ${count} decorated exports, expected the twelve calls")
endif()
file(WRITE "${EXPORTS_DEF}.decorated" "${decorated}")
execute_process(COMMAND "${DLLTOOL}" -k -d "${EXPORTS_DEF}.decorated" -D "${DLL_NAME}" -l "${IMPLIB}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dlltool failed (${rc})")
endif()
