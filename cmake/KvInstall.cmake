# Installation rules of the Linux build, used by the Debian packages
# (scripts/package.sh: cmake --install <build> --prefix <stage>/usr
# --component service|lab --strip).
#
# service: kelvasync, kelvasync-passwd and kelvasync-check (when built) in
#          bin. They look for libpelorlib.so, the HSM maker's client library,
#          in /usr/lib/kelvasync before the loader's usual places.
# lab:     our stand-in libpelorlib.so in /usr/lib/kelvasync and the
#          hsm-emulator, for test and training machines only.
if(WIN32)
  return()
endif()
set(KV_CLIENT_LIBRARY_DIR /usr/lib/kelvasync)
foreach(program kelvasync kelvasync-passwd kelvasync-check)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH ${KV_CLIENT_LIBRARY_DIR})
    install(TARGETS ${program} RUNTIME DESTINATION bin COMPONENT service)
  endif()
endforeach()
install(TARGETS pelorlib LIBRARY DESTINATION lib/kelvasync COMPONENT lab)
if(TARGET hsm-emulator)
  install(TARGETS hsm-emulator RUNTIME DESTINATION bin COMPONENT lab)
endif()
