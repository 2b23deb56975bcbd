# drift_folder_library(NAME [GLOB pattern...] [EXCLUDE file...] DEPS lib...
#                      [TEST_DEPS lib...])
#
# Builds one static library from every *.cc of the calling folder (or the
# files matching GLOB) except the *_test.cc files and any EXCLUDE'd file, and
# one GoogleTest program per matching *_test.cc that links the library.
# Globbing keeps the folder's file list in one place: the folder itself.
function(drift_folder_library name)
  cmake_parse_arguments(ARG "" "" "GLOB;EXCLUDE;DEPS;TEST_DEPS" ${ARGN})
  if(NOT ARG_GLOB)
    set(ARG_GLOB "*")
  endif()
  set(sources)
  set(tests)
  foreach(pattern ${ARG_GLOB})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern}.cc)
    file(GLOB found_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${pattern}_test.cc)
    list(APPEND sources ${found})
    list(APPEND tests ${found_tests})
  endforeach()
  if(tests)
    list(REMOVE_ITEM sources ${tests})
  endif()
  foreach(ex ${ARG_EXCLUDE})
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
    list(REMOVE_ITEM tests ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    # Nothing written yet in this folder: an empty interface keeps dependents
    # linkable while the folder grows.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
  if(DRIFT_BUILD_TESTS)
    foreach(test ${tests})
      get_filename_component(test_name ${test} NAME_WE)
      drift_unit_test(${test_name} ${test} ${name} ${ARG_TEST_DEPS})
    endforeach()
  endif()
endfunction()

# drift_unit_test(NAME SOURCE lib...): one GoogleTest program, registered with
# CTest test by test.
function(drift_unit_test name source)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES ENVIRONMENT "DRIFT_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
