# Clang for windows-msvc with lld-link: the objects and link line of
# Microsoft's toolchain, without its libraries: msvcrt.dll and kernel32.dll
# come through mingw's import libraries, which lld-link reads too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_STANDARD_LIBRARIES
  "/usr/x86_64-w64-mingw32/lib/libmsvcrt.a /usr/x86_64-w64-mingw32/lib/libkernel32.a")
