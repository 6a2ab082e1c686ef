cmake_minimum_required(VERSION 3.25)
# Fails unless the publisher's tool carries zstd's encoder and each shipped
# program that installs carries its decoder and no encoder: compressing is
# the publisher's business, and code nobody runs stays out of the install.
# Reads the debug information beside each stripped program.
# Usage: cmake -DNM=... -DENCODER=<program> -DDECODERS=<program>|... -P check_zstd_split.cmake
string(REPLACE "|" ";" DECODERS "${DECODERS}")
foreach(program ${ENCODER} ${DECODERS})
  execute_process(COMMAND ${NM} ${program}.debug OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "can't read the symbols of ${program}")
  endif()
  string(REGEX MATCH "[ _]ZSTD_decompressStream[\r\n]" decodes "${symbols}")
  string(REGEX MATCH "[ _]ZSTD_compressStream2[\r\n]" encodes "${symbols}")
  if(NOT decodes)
    message(FATAL_ERROR "${program} has no zstd decoder")
  endif()
  if(program STREQUAL ENCODER AND NOT encodes)
    message(FATAL_ERROR "${program} has no zstd encoder")
  elseif(NOT program STREQUAL ENCODER AND encodes)
    message(FATAL_ERROR "${program} carries zstd's encoder")
  endif()
endforeach()
message(STATUS "zstd's encoder is in ${ENCODER} alone")
