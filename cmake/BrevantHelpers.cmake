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

# brevant_layer_includes(TARGET LAYER)
# The include root of a layer's targets holds that layer's folder alone
# (build/layers/LAYER/LAYER, a link to the sources), so a source of the layer
# reaches its own headers as "LAYER/..." and, through the targets it links,
# the layers below it: the arrows between the layers are the include paths,
# and a header of a layer above does not compile.
function(brevant_layer_includes target layer)
  set(root ${PROJECT_BINARY_DIR}/layers/${layer})
  if(NOT IS_SYMLINK ${root}/${layer})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${root}/${layer} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
endfunction()

# brevant_apply_build_settings(DIR)
# Links brevant_build_settings into every target declared in DIR and the
# folders below it. Only inside this build: an installed target does not
# carry it.
function(brevant_apply_build_settings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:brevant_build_settings>)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    brevant_apply_build_settings(${subdir})
  endforeach()
endfunction()
