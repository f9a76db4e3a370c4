# kv_add_layer(<folder> SOURCES <files...> DEPENDS <layers...> [LIBS <libs...>])
# One folder of src/ as the static library kv_<folder>, which links the
# layers below it that it uses and nothing above. Every layer sees src/ and
# the generated headers; which headers a layer may include is held by the
# `layers` check below, run before any layer compiles.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/layers.ok
                     COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/check-layers.py ${CMAKE_SOURCE_DIR}
                             ${CMAKE_BINARY_DIR}/layers.ok
                     DEPENDS ${CMAKE_SOURCE_DIR}/scripts/check-layers.py
                     COMMENT "Checking that no include runs back up a layer")
  add_custom_target(layers ALL DEPENDS ${CMAKE_BINARY_DIR}/layers.ok)
  # Checked again whenever a source of src/ or tools/ changes.
  file(GLOB_RECURSE kv_layered_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.h ${CMAKE_SOURCE_DIR}/src/*.cpp
       ${CMAKE_SOURCE_DIR}/tools/*.h ${CMAKE_SOURCE_DIR}/tools/*.cpp)
  set_property(SOURCE ${CMAKE_BINARY_DIR}/layers.ok APPEND PROPERTY OBJECT_DEPENDS ${kv_layered_sources})
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/layers.ok APPEND DEPENDS ${kv_layered_sources})
endif()

function(kv_add_layer folder)
  cmake_parse_arguments(L "" "" "SOURCES;DEPENDS;LIBS" ${ARGN})
  add_library(kv_${folder} STATIC ${L_SOURCES})
  target_include_directories(kv_${folder} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
  set(deps)
  foreach(dep ${L_DEPENDS})
    list(APPEND deps kv_${dep})
  endforeach()
  target_link_libraries(kv_${folder} PUBLIC ${deps} ${L_LIBS} Threads::Threads)
  if(TARGET layers)
    add_dependencies(kv_${folder} layers)
  endif()
endfunction()
