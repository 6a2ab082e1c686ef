cmake_minimum_required(VERSION 3.25)
# Installs the SDK into a scratch folder and uses it as an adopter would:
# the shipped programs are small, import only Windows' DLLs and tell the
# project's version; the example builds through find_package and through
# pkg-config with the plain mingw C compiler, links statically and runs.
# Usage: cmake -DBUILD=... -DSOURCE=... -DWORK=... -DVERSION=... -DGCC=...
#   -DPKG_CONFIG=... -DOBJDUMP=... -P sdk_test.cmake
set(wine ${SOURCE}/scripts/wine.sh)
set(sdk ${WORK}/sdk)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/install)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

function(check_program program)
  run(${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DPROGRAM=${program}
    -P ${SOURCE}/cmake/check_imports.cmake)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${sdk})
foreach(file include/loftswitch/app.h lib/loftswitch-app.dll.a lib/libloftswitch_app.a)
  if(NOT EXISTS ${sdk}/${file})
    message(FATAL_ERROR "the SDK has no ${file}")
  endif()
endforeach()

foreach(program loftswitch-apply.exe loftswitch-pack.exe loftswitch-app.dll)
  file(SIZE ${sdk}/bin/${program} size)
  if(size GREATER 2936012)
    message(FATAL_ERROR "${program} is ${size} bytes, more than 2.8 MB")
  endif()
  check_program(${sdk}/bin/${program})
endforeach()
foreach(tool loftswitch-apply loftswitch-pack)
  run(${wine} ${sdk}/bin/${tool}.exe --version)
  if(NOT out STREQUAL "${tool} ${VERSION}\n")
    message(FATAL_ERROR "${tool} --version says \"${out}\", the project is ${VERSION}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE}/examples/startup -B ${WORK}/cmake
  -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/mingw-w64-x86_64.cmake
  -Dloftswitch_DIR=${sdk}/lib/cmake/loftswitch -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK}/cmake)

set(ENV{PKG_CONFIG_LIBDIR} ${sdk}/lib/pkgconfig)
run(${PKG_CONFIG} --cflags --static --libs loftswitch-app)
separate_arguments(flags UNIX_COMMAND "${out}")
file(MAKE_DIRECTORY ${WORK}/pkg-config)
run(${GCC} ${SOURCE}/examples/startup/main.c -o ${WORK}/pkg-config/startup.exe ${flags})
# The README shows the update loop as the file holds it.
file(READ ${SOURCE}/examples/update/main.c example)
file(READ ${SOURCE}/README.md readme)
string(FIND "${readme}" "${example}" shown)
if(shown EQUAL -1)
  message(FATAL_ERROR "README.md does not show examples/update/main.c as it is")
endif()
run(${GCC} ${SOURCE}/examples/update/main.c -o ${WORK}/pkg-config/update.exe ${flags})
check_program(${WORK}/pkg-config/update.exe)

foreach(example ${WORK}/cmake/startup.exe ${WORK}/pkg-config/startup.exe)
  check_program(${example})
  run(${wine} ${example} Z:${WORK}/install)
  if(NOT out MATCHES "^loftswitch ${VERSION} \\(library ${VERSION}\\)\n.*no update to report\n$")
    message(FATAL_ERROR "${example} printed:\n${out}")
  endif()
endforeach()
message(STATUS "the SDK builds and runs both ways")
