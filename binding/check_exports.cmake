# Fails unless PyInit_zolangpy is the only symbol MODULE defines for the
# dynamic linker. Run as: cmake -DMODULE=<path> -P check_exports.cmake
execute_process(COMMAND nm -D --defined-only ${MODULE}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names ${name})
endforeach()
if(NOT names STREQUAL "PyInit_zolangpy")
  message(FATAL_ERROR "Unexpected exported symbols in ${MODULE}: ${names}")
endif()
