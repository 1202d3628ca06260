# Fails when a C++ source of the project differs from what clang-format makes
# of it. Run with -DCLANG_FORMAT=... -DSOURCE_DIR=...
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/base/*.cpp ${SOURCE_DIR}/base/*.h
  ${SOURCE_DIR}/runtime/*.cpp ${SOURCE_DIR}/runtime/*.h
  ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/platform/*.h
  ${SOURCE_DIR}/diag/*.cpp ${SOURCE_DIR}/diag/*.h
  ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
  ${SOURCE_DIR}/examples/*.cpp ${SOURCE_DIR}/examples/*.h
  ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h)
set(unformatted "")
foreach(f ${sources})
  execute_process(COMMAND ${CLANG_FORMAT} --dry-run -Werror ${SOURCE_DIR}/${f}
    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    list(APPEND unformatted ${f})
  endif()
endforeach()
if(unformatted)
  list(JOIN unformatted "\n  " listed)
  message(FATAL_ERROR "Not formatted with clang-format (run clang-format -i on them):\n  ${listed}")
endif()
list(LENGTH sources n)
message(STATUS "${n} sources formatted")
