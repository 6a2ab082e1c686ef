# The SDK that `cmake --install build --prefix <dir>` lays out:
#   bin/      loftswitch-apply.exe, loftswitch-pack.exe, loftswitch-app-<ABI major>.dll
#   include/  loftswitch/app.h and the version header it includes
#   lib/      libloftswitch_app.a (static, self-contained but for the listed
#             dependencies), libsodium.a and libzstd_decoder.a (the
#             libsodium and the zstd decoder it was built with),
#             the DLL's import libraries loftswitch-app.dll.a
#             (mingw) and loftswitch-app.lib (Microsoft's linker) with the
#             loftswitch-app.def they come from, cmake/loftswitch/
#             (find_package, and the toolchain file for mingw) and
#             pkgconfig/loftswitch-app.pc
include(CMakePackageConfigHelpers)

install(TARGETS loftswitch-apply RUNTIME DESTINATION bin)
if(TARGET loftswitch-pack)
  install(TARGETS loftswitch-pack RUNTIME DESTINATION bin)
endif()
if(TARGET loftswitch_app)
  install(TARGETS loftswitch_app_dll RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(TARGETS loftswitch_app ARCHIVE DESTINATION lib)
  if(MINGW)
    install(FILES ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/loftswitch-app.lib
      ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/loftswitch-app.def DESTINATION lib)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/include/loftswitch/app.h
    ${LOFTSWITCH_GENERATED_INCLUDE}/loftswitch/version.h DESTINATION include/loftswitch)

  # One list of dependencies for both descriptions. Everything is linked
  # statically, the C++ runtime included, as the tool itself is: a program
  # built with the SDK needs no DLL but Windows' own.
  # A C program's driver adds no C++ runtime of its own: name it.
  # libsodium comes with the SDK, as the one the library was built with;
  # so does the zstd decoder of the mingw build.
  set(LOFTSWITCH_CMAKE_DEPENDENCIES sodium ${LOFTSWITCH_LINK_DEPENDENCIES} stdc++ pthread)
  if(SODIUM_LIBRARY)
    install(FILES ${SODIUM_LIBRARY} DESTINATION lib)
  endif()
  if(ZSTD_DECODER_LIBRARY)
    install(FILES ${ZSTD_DECODER_LIBRARY} DESTINATION lib)
    list(INSERT LOFTSWITCH_CMAKE_DEPENDENCIES 1 zstd_decoder)
  endif()
  list(TRANSFORM LOFTSWITCH_CMAKE_DEPENDENCIES PREPEND -l OUTPUT_VARIABLE pc_libs)
  list(JOIN pc_libs " " LOFTSWITCH_PC_DEPENDENCIES)
  set(config_dir ${CMAKE_BINARY_DIR}/sdk)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/loftswitchConfig.cmake.in
    ${config_dir}/loftswitchConfig.cmake @ONLY)
  write_basic_package_version_file(${config_dir}/loftswitchConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/loftswitch-app.pc.in
    ${config_dir}/loftswitch-app.pc @ONLY)
  install(FILES ${config_dir}/loftswitchConfig.cmake ${config_dir}/loftswitchConfigVersion.cmake
    ${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake DESTINATION lib/cmake/loftswitch)
  install(FILES ${config_dir}/loftswitch-app.pc DESTINATION lib/pkgconfig)
endif()
