# brevant_add_test(NAME SOURCES src... [LIBS lib...] [GUI] [LABELS l...])
# Builds a GoogleTest (default) or Qt Test (GUI) program and registers it with ctest.
# GUI tests run on Qt's offscreen platform.
function(brevant_add_test name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE brevant_test_support ${T_LIBS})
  if(T_GUI)
    target_link_libraries(${name} PRIVATE Qt6::Test)
    add_test(NAME ${name} COMMAND ${name})
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  endif()
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;BREVANT_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    TIMEOUT 300
    LABELS "${T_LABELS}")
endfunction()

# brevant_add_fuzzer(NAME SOURCES src... [LIBS lib...] CORPUS dir)
# A libFuzzer target. With BREVANT_FUZZ it links libFuzzer; otherwise a small
# driver replays the inputs. Either way ctest replays the seed corpus, so a
# crash found once stays found.
function(brevant_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  if(BREVANT_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_test(NAME ${name}_corpus COMMAND ${name} -runs=0 ${F_CORPUS})
  else()
    target_link_libraries(${name} PRIVATE brevant_fuzz_replay)
    add_test(NAME ${name}_corpus COMMAND ${name} ${F_CORPUS})
  endif()
  set_tests_properties(${name}_corpus PROPERTIES TIMEOUT 300 LABELS fuzz)
endfunction()
