# kelvasync-check's failure paths, run as a process (under Wine for the
# Windows build): a missing INI file names every required key and exits 1;
# an unreachable directory and HSM exit 2 with the service's own messages,
# also as JSON; an INI readable by others is warned about, one in a folder
# with a non-ASCII name is read; --help documents the exit codes; values are
# read by the service's own rules; usage errors exit 64 (UNKNOWN, 3, as a
# plug-in), --help and --version 0 (kelvasync-passwd's too, whose usage
# errors exit 2).
#   -DCHECK=<kelvasync-check> -DPASSWD=<kelvasync-passwd> -DWORK=<scratch folder>
#   [-DWINE_PREFIX_SCRIPT=<scripts/wine-prefix.sh>]
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KvWineRunner.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

# The INI path as the program sees it (Wine maps / to drive Z:).
function(program_path path out)
  if(WINE_PREFIX_SCRIPT)
    string(REPLACE "/" "\\" path "Z:${path}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

set(failures "")
function(expect_run name expected_exit)
  execute_process(COMMAND ${runner} ${CHECK} ${ARGN} OUTPUT_FILE ${WORK}/${name}.out ERROR_FILE ${WORK}/${name}.err
                  RESULT_VARIABLE exit_code)
  file(READ ${WORK}/${name}.out printed)
  string(REPLACE "\r" "" printed "${printed}")
  set(printed "${printed}" PARENT_SCOPE)
  if(NOT exit_code EQUAL expected_exit)
    set(failures "${failures}${name}: exit ${exit_code}, expected ${expected_exit}:\n${printed}\n" PARENT_SCOPE)
  endif()
endfunction()
function(expect_text name text)
  string(FIND "${printed}" "${text}" at)
  if(at EQUAL -1)
    set(failures "${failures}${name}: no '${text}' in:\n${printed}\n" PARENT_SCOPE)
  endif()
endfunction()

expect_run(help 0 --help)
expect_text(help "4   a trava de remocoes em massa dispararia")
expect_text(help "64  erro de uso")
# 0 for --help and --version, 64 for a command line that cannot run (an
# unknown option, a missing value, options that do not combine), and as a
# monitoring plug-in (--nagios, --status) UNKNOWN.
expect_run(version 0 --version)
expect_text(version "kelvasync-check 1.0.0.5")
expect_run(unknown_option 64 --verbose)
expect_run(missing_value 64 --ini)
expect_run(json_and_nagios 3 --json --nagios)
expect_run(nagios_unknown_option 3 --nagios --bogus)
# What a monitoring system shows: one UNKNOWN line on standard output.
expect_text(nagios_unknown_option "KELVASYNC-CHECK UNKNOWN - erro de uso: opcao desconhecida: --bogus\n")
foreach(case "0;--help;Uso: kelvasync-passwd" "0;--version;kelvasync-passwd 1.0.0.5" "2;--bogus;Uso:" "2;-x;Uso:")
  list(GET case 0 expected)
  list(GET case 1 option)
  list(GET case 2 text)
  # Usage goes to standard error on a usage error.
  set(out "")
  execute_process(COMMAND ${runner} ${PASSWD} ${option} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  string(FIND "${out}${err}" "${text}" at)
  if(NOT rc EQUAL expected OR at EQUAL -1)
    string(APPEND failures "kelvasync-passwd ${option}: exit ${rc}, expected ${expected} and '${text}':\n${out}${err}\n")
  endif()
endforeach()

program_path(${WORK}/missing.ini missing)
expect_run(missing 1 --ini ${missing})
foreach(key activedirectory.host activedirectory.usr activedirectory.pwd activedirectory.group hsm.host hsm.usr
            hsm.pwd)
  expect_text(missing "AUSENTE  ${key}: ausente ou vazia")
endforeach()
expect_text(missing "resultado: 1")

# Passwords encrypted by the real kelvasync-passwd.
file(WRITE ${WORK}/pw.txt "uma-senha\n")
execute_process(COMMAND ${runner} ${PASSWD} INPUT_FILE ${WORK}/pw.txt OUTPUT_VARIABLE hex RESULT_VARIABLE rc)
string(STRIP "${hex}" hex)
if(NOT rc EQUAL 0 OR hex STREQUAL "")
  message(FATAL_ERROR "kelvasync-passwd failed: ${rc}")
endif()
file(WRITE ${WORK}/unreachable.ini
  "[activedirectory]\r\nhost=127.0.0.1:1\r\nusr=svc\r\npwd=${hex}\r\ngroup=CN=Tessel,DC=test\r\n"
  "[hsm]\r\nhost=127.0.0.1:1\r\nusr=kelvasync\r\npwd=${hex}\r\nremoveusers=block\r\n")
# Readable by everyone: a warning (on Windows the ACL Wine derives from the
# mode grants Everyone read).
file(CHMOD ${WORK}/unreachable.ini PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
program_path(${WORK}/unreachable.ini unreachable)
expect_run(unreachable 2 --ini ${unreachable})
expect_text(unreachable "ATENCAO: o arquivo pode ser lido por outros usuarios")
expect_text(unreachable "ok       hsm.pwd: decifra, 9 caracteres")
expect_text(unreachable "mensagem: Nao foi possivel conectar no Controlador de Dominio (DC)")
# A network fault is named as such, not blamed on the account.
expect_text(unreachable "mensagem: Nao foi possivel conectar ao HSM para listar os usuarios. Codigo")
expect_text(unreachable "Causa: nada aceita conexoes em 127.0.0.1:1 (conexao recusada")
expect_text(unreachable "resultado: 2")
string(FIND "${printed}" "uma-senha" leaked)
if(NOT leaked EQUAL -1)
  string(APPEND failures "unreachable: the password was printed\n")
endif()
file(CHMOD ${WORK}/unreachable.ini PERMISSIONS OWNER_READ OWNER_WRITE)
expect_run(unreachable_json 2 --json --ini ${unreachable})
expect_text(unreachable_json "\"legivelPorOutros\": false")
expect_text(unreachable_json "\"codigoSaida\": 2")
expect_text(unreachable_json "\"hsm\": {\"verificado\": true, \"ok\": false")

# An INI in a folder whose name is not ASCII: found and read (Linux; the
# argument is UTF-8 there).
if(NOT WINE_PREFIX_SCRIPT)
  file(MAKE_DIRECTORY "${WORK}/Configuração")
  file(COPY_FILE ${WORK}/unreachable.ini "${WORK}/Configuração/kelvasync.ini")
  expect_run(latin1_path 2 --ini "${WORK}/Configuração/kelvasync.ini")
  expect_text(latin1_path "ok       hsm.pwd: decifra, 9 caracteres")
endif()

# Values read by the service's own rules: "5min" is 5 minutes; a group that
# is no DN is refused; text saved as UTF-8 is pointed out. A bad --timeout
# is refused before anything runs.
file(WRITE ${WORK}/values.ini
  "[activedirectory]\r\nhost=127.0.0.1:1\r\nusr=João\r\npwd=${hex}\r\ngroup=Tessel\r\n"
  "updatefrequencyinminutes=5min\r\n[hsm]\r\nhost=hsm.invalid\r\nusr=kelvasync\r\npwd=${hex}\r\n")
program_path(${WORK}/values.ini values)
expect_run(values 1 --ini ${values})
expect_text(values "ATENCAO: o arquivo parece UTF-8; salve-o em Windows-1252")
expect_text(values "INVALIDA activedirectory.group: 'Tessel' nao eh um DN")
expect_text(values "ok       activedirectory.updatefrequencyinminutes: 5 minutos ('5min')")
expect_text(values "Causa: o nome 'hsm.invalid' de [hsm] host nao foi resolvido")
expect_run(bad_timeout 64 --timeout 0 --ini ${values})
# A host value the client library would refuse.
file(WRITE ${WORK}/port.ini "[hsm]\r\nhost=hsm:44a3\r\n")
program_path(${WORK}/port.ini port)
expect_run(port 1 --ini ${port})
expect_text(port "INVALIDA hsm.host: 'hsm:44a3' nao eh um endereco valido")

# Sealed passwords: opened as the service opens them, each way they cannot
# be named; a systemd credential outside the unit leaves the HSM step out.
if(WINE_PREFIX_SCRIPT)
  execute_process(COMMAND ${runner} ${PASSWD} --dpapi INPUT_FILE ${WORK}/pw.txt OUTPUT_VARIABLE sealed)
  string(STRIP "${sealed}" sealed)
  file(WRITE ${WORK}/sealed.ini
    "[activedirectory]\r\nhost=127.0.0.1:1\r\nusr=svc\r\npwd=credential:ad-pwd\r\ngroup=CN=Tessel,DC=test\r\n"
    "[hsm]\r\nhost=127.0.0.1:1\r\nusr=kelvasync\r\npwd=${sealed}\r\n")
  program_path(${WORK}/sealed.ini sealed_ini)
  expect_run(sealed 1 --ini ${sealed_ini})
  expect_text(sealed "ok       hsm.pwd: selada com DPAPI, abre, 9 caracteres")
  expect_text(sealed "INVALIDA activedirectory.pwd: o valor credential: eh uma credencial do systemd e nao existe no Windows")
else()
  # The unit the check reads the credentials from: a folder of the test's
  # own (as kelvasync -i takes it), never the machine's.
  set(ENV{KELVASYNC_UNIT_DIR} ${WORK}/units)
  file(MAKE_DIRECTORY ${WORK}/units)
  file(MAKE_DIRECTORY ${WORK}/credentials)
  file(WRITE ${WORK}/credentials/hsm-pwd "uma-senha\n")
  file(WRITE ${WORK}/sealed.ini
    "[activedirectory]\r\nhost=127.0.0.1:1\r\nusr=svc\r\npwd=dpapi:AAAA\r\ngroup=CN=Tessel,DC=test\r\n"
    "[hsm]\r\nhost=127.0.0.1:1\r\nusr=kelvasync\r\npwd=credential:hsm-pwd\r\n")
  # Without the credential the HSM's host is still probed, and the cause
  # named; the login is not tried, and without a unit nothing can try it.
  expect_run(sealed 1 --ini ${WORK}/sealed.ini)
  expect_text(sealed "ATENCAO  hsm.pwd: credencial do systemd 'hsm-pwd' (nenhuma unidade kelvasync.service encontrada")
  expect_text(sealed "  conexao: nada aceita conexoes em 127.0.0.1:1 (conexao recusada")
  expect_text(sealed "  login nao tentado: a senha eh a credencial do systemd 'hsm-pwd', que so o servico recebe; nao ha")
  expect_text(sealed "INVALIDA activedirectory.pwd: o valor dpapi: eh uma senha selada pelo Windows (DPAPI)")
  # A unit whose drop-in hands it over (a value continued over lines, as
  # systemd-creds --pretty writes it): the command that tries the login as
  # the service would. A name the unit does not hand over is a fault.
  file(WRITE ${WORK}/units/kelvasync.service "[Service]\nUser=kelvasync\nExecStart=/usr/bin/kelvasync\n")
  file(MAKE_DIRECTORY ${WORK}/units/kelvasync.service.d)
  file(WRITE ${WORK}/units/kelvasync.service.d/hsm-pwd.conf
    "[Service]\nSetCredentialEncrypted=hsm-pwd: \\\n        QUJD \\\n        REVG\n")
  expect_run(handed 1 --ini ${WORK}/sealed.ini)
  expect_text(handed "(SetCredentialEncrypted= em ${WORK}/units/kelvasync.service.d/hsm-pwd.conf)")
  expect_text(handed "para tenta-lo como o servico, como root: systemd-run --quiet --pipe --wait --collect -p User=kelvasync -p SetCredentialEncrypted=hsm-pwd:QUJDREVG ")
  file(WRITE ${WORK}/units/kelvasync.service.d/zz-reset.conf "[Service]\nSetCredentialEncrypted=\n")
  expect_run(not_handed 1 --ini ${WORK}/sealed.ini)
  expect_text(not_handed "INVALIDA hsm.pwd: credencial do systemd 'hsm-pwd': a unidade kelvasync.service nao a entrega")
  set(runner ${CMAKE_COMMAND} -E env CREDENTIALS_DIRECTORY=${WORK}/credentials timeout 300)
  expect_run(sealed_handed 1 --ini ${WORK}/sealed.ini)
  expect_text(sealed_handed "ok       hsm.pwd: credencial do systemd 'hsm-pwd', abre, 9 caracteres")
  expect_text(sealed_handed "usuarios listados: nao")
  set(runner timeout 300)
endif()

# An INI only its owner may read, checked by another account (Linux, when
# the test runs as root): told apart from a missing file.
if(NOT WINE_PREFIX_SCRIPT)
  find_program(SETPRIV setpriv)
  execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(SETPRIV AND uid STREQUAL "0")
    set(runner timeout 300 ${SETPRIV} --reuid=65534 --regid=65534 --clear-groups)
    expect_run(unreadable 1 --ini ${unreachable})
    expect_text(unreadable "ERRO: o arquivo existe mas esta conta nao pode le-lo")
  endif()
endif()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
