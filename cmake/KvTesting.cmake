# kv_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>])
# One GoogleTest executable. On Linux every test case becomes a CTest test;
# in the Windows cross-build the executable runs whole under Wine and gets the
# extra label "wine".
if(KELVASYNC_BUILD_TESTS)
  enable_testing()
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(KV_GTEST_LIBS gtest gtest_main)
  else()
    find_package(GTest REQUIRED)
    include(GoogleTest)
    set(KV_GTEST_LIBS GTest::gtest GTest::gtest_main)
  endif()
endif()

function(kv_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT KELVASYNC_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${KV_GTEST_LIBS})
  # The test support every test may use (tests/support).
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS};wine" TIMEOUT 600)
  else()
    gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST
      PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300)
  endif()
endfunction()

# kv_add_emulator_wine_test(NAME <name> SOURCES <files...> [LIBS <libs...>])
# Windows build only: a GoogleTest executable that runs under Wine against
# the hsm-emulator of the Linux build, started by the CTest fixture
# "hsm_emulator" (tests/hsm); the test reads the emulator's port from
# KELVASYNC_TEST_HSM_PORT.
function(kv_add_emulator_wine_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT KELVASYNC_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} ${KV_GTEST_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_test(NAME ${T_NAME}
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/start-emulator.sh run ${CMAKE_BINARY_DIR}/tests/hsm/emulator --
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${T_NAME}>)
  set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED hsm_emulator
                       LABELS "integration;wine" TIMEOUT 600)
endfunction()

# kv_add_script_test(NAME <name> SCRIPT <file.cmake> [ARGS <-Dname=value...>])
# A CMake script that runs programs of the build as processes (see
# cmake/KvWineRunner.cmake): label e2e, and in the Windows build also wine,
# with the Wine test prefix handed to the script.
function(kv_add_script_test)
  cmake_parse_arguments(T "" "NAME;SCRIPT" "ARGS" ${ARGN})
  if(NOT KELVASYNC_BUILD_TESTS)
    return()
  endif()
  set(wine)
  set(labels e2e)
  if(CMAKE_CROSSCOMPILING)
    set(wine -DWINE_PREFIX_SCRIPT=${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh)
    set(labels "e2e;wine")
  endif()
  add_test(NAME ${T_NAME} COMMAND ${CMAKE_COMMAND} ${T_ARGS} ${wine} -P ${T_SCRIPT})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${labels}" TIMEOUT 600)
endfunction()
