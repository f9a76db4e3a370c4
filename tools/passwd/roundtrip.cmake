# Round trip of kelvasync-passwd: every password it accepts must come back
# whole from the service's own decoding, and every password that could not be
# stored whole must be refused with nothing on standard output.
#   -DTOOL=<kelvasync-passwd> -DCHECK=<passwd-decode-check> -DDATA=<testdata>
#   -DWORK=<scratch folder> [-DWINE_PREFIX_SCRIPT=<scripts/wine-prefix.sh>]
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KvWineRunner.cmake)
cmake_policy(SET CMP0007 NEW)  # empty fields of a case stay in place
file(MAKE_DIRECTORY ${WORK})
# A case that reaches systemd-creds as root seals with a host key of the
# test's own, never with (or creating) the machine's.
set(ENV{SYSTEMD_CREDENTIAL_SECRET} ${WORK}/credential.secret)

# name:exit code expected[:option[:text on standard error, - for none]]. The HSM's login
# takes 15 bytes: more is refused for --hsm and for the hsm-pwd credential,
# and printed with a warning when nothing says whose password it is.
set(cases
  "ascii.txt:0" "crlf.txt:0" "max31.txt:0" "latin1.txt:0" "no_newline.txt:0" "two_lines.txt:0"
  "too_long32.txt:1" "very_long.txt:1" "zero_byte.txt:1" "empty_line.txt:1" "no_input.txt:2"
  "hsm15.txt:0:--hsm" "hsm16.txt:1:--hsm:entra no HSM com no maximo 15 bytes"
  "hsm16.txt:1:--systemd-creds:Senha recusada: tem 16 bytes"
  "hsm16.txt:0:--directory:-" "hsm16.txt:0::Aviso: a senha tem 16 bytes")
set(failures "")
foreach(case ${cases})
  string(REPLACE ":" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 expected_exit)
  set(option "")
  set(said "")
  list(LENGTH fields count)
  if(count GREATER 2)
    list(GET fields 2 option)
  endif()
  if(count GREATER 3)
    list(SUBLIST fields 3 -1 said)
    list(JOIN said ":" said)
  endif()
  set(out ${WORK}/${name}${option}.out)
  set(err ${WORK}/${name}${option}.err)
  execute_process(COMMAND ${runner} ${TOOL} ${option} INPUT_FILE ${DATA}/${name} OUTPUT_FILE ${out}
                  ERROR_FILE ${err} RESULT_VARIABLE exit_code)
  file(READ ${out} printed)
  file(READ ${err} messages)
  string(REPLACE "\r" "" printed "${printed}")
  if(NOT exit_code EQUAL expected_exit)
    string(APPEND failures "${name} ${option}: exit ${exit_code}, expected ${expected_exit}: ${messages}\n")
    continue()
  endif()
  string(FIND "${messages}" "${said}" at)
  if((said STREQUAL "-" AND NOT messages STREQUAL "") OR (NOT said STREQUAL "-" AND at EQUAL -1))
    string(APPEND failures "${name} ${option}: expected '${said}' on standard error, got '${messages}'\n")
    continue()
  endif()
  if(NOT expected_exit EQUAL 0)
    if(NOT printed STREQUAL "" OR messages STREQUAL "")
      string(APPEND failures "${name}: refused without a message or with output '${printed}'\n")
    endif()
    continue()
  endif()
  if(NOT printed MATCHES "^[0-9a-f]+\n$")
    string(APPEND failures "${name}: output is not one hexadecimal line: '${printed}'\n")
    continue()
  endif()
  string(STRIP "${printed}" value)
  # The password is the input's first line without its line end.
  file(READ ${DATA}/${name} input HEX)
  string(LENGTH "${input}" length)
  set(password_hex "")
  set(i 0)
  while(i LESS length)
    string(SUBSTRING "${input}" ${i} 2 pair)
    if(pair STREQUAL "0a")
      break()
    endif()
    string(APPEND password_hex ${pair})
    math(EXPR i "${i} + 2")
  endwhile()
  string(REGEX REPLACE "0d$" "" password_hex "${password_hex}")
  execute_process(COMMAND ${runner} ${CHECK} ${value} OUTPUT_FILE ${WORK}/${name}.check RESULT_VARIABLE rc)
  file(READ ${WORK}/${name}.check decoded)
  string(REPLACE "\r" "" decoded "${decoded}")
  string(STRIP "${decoded}" decoded)
  if(NOT rc EQUAL 0 OR NOT decoded STREQUAL password_hex)
    string(APPEND failures "${name}: ${value} decodes to '${decoded}', expected '${password_hex}'\n")
  endif()
endforeach()

# --systemd-creds starts systemd-creds from the system's folders, never
# through PATH: a fake one first on PATH is not run (and, as root, the real
# one seals the password, with a host key of the test's own).
if(NOT WINE_PREFIX_SCRIPT)
  set(fake ${WORK}/path-first)
  file(MAKE_DIRECTORY ${fake})
  file(REMOVE ${fake}/ran)
  file(WRITE ${fake}/systemd-creds "#!/bin/sh\ncat >'${fake}/ran'\necho fake\n")
  file(CHMOD ${fake}/systemd-creds PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "PATH=${fake}:$ENV{PATH}"
                          SYSTEMD_CREDENTIAL_SECRET=${WORK}/credential.secret ${runner} ${TOOL} --systemd-creds
                  INPUT_FILE ${DATA}/ascii.txt OUTPUT_VARIABLE printed ERROR_VARIABLE messages
                  RESULT_VARIABLE exit_code)
  if(EXISTS ${fake}/ran)
    string(APPEND failures "--systemd-creds ran the systemd-creds first on PATH\n")
  endif()
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(uid STREQUAL "0" AND (EXISTS /usr/bin/systemd-creds OR EXISTS /bin/systemd-creds)
     AND NOT printed MATCHES "^\\[Service\\]\nSetCredentialEncrypted=hsm-pwd:")
    string(APPEND failures "--systemd-creds (exit ${exit_code}) printed '${printed}': ${messages}\n")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "kelvasync-passwd round trip:\n${failures}")
endif()
list(LENGTH cases count)
message(STATUS "${count} cases passed")
