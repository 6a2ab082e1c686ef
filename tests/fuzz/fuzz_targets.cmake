# One libFuzzer program per *_fuzz.cpp, named fuzz-<name>, over the portable
# core of the native lane; scripts/fuzz.sh builds and runs them. Included by
# the top-level CMakeLists.txt once it has defined every target.

# libFuzzer steers by the coverage of the code under test.
target_compile_options(loftswitch_portable PRIVATE -fsanitize=fuzzer-no-link)

file(GLOB LOFTSWITCH_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_fuzz.cpp)

# Linked as a library, so that only the targets that use a double carry it.
add_library(loftswitch_fuzz_support STATIC ${CMAKE_SOURCE_DIR}/tests/support/memory_file_system.cpp)
target_include_directories(loftswitch_fuzz_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(loftswitch_fuzz_support PUBLIC loftswitch_portable)

add_custom_target(fuzz-targets)
foreach(source IN LISTS LOFTSWITCH_FUZZ_SOURCES)
  get_filename_component(name ${source} NAME_WE)
  string(REGEX REPLACE "_fuzz$" "" name ${name})
  add_executable(fuzz-${name} ${source})
  target_link_libraries(fuzz-${name} PRIVATE loftswitch_fuzz_support)
  target_compile_options(fuzz-${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz-${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz-targets fuzz-${name})
endforeach()
