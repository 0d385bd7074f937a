# quellor_fuzz_target(NAME SOURCES... LIBS ...) builds NAME from a LLVMFuzzerTestOneInput source
# plus the standalone corpus driver; the driver replays every file given on its command line (or
# below a directory given there) and is what ctest runs.
function(quellor_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES} ${CMAKE_SOURCE_DIR}/fuzz/StandaloneDriver.cpp)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  if(F_CORPUS AND QUELLOR_BUILD_TESTS)
    add_test(NAME ${name}_corpus COMMAND ${name} ${F_CORPUS})
  endif()
endfunction()
