# lumivex_library(NAME ROOT <dir> [DEPS ...])
# A static library made of every .cpp below ROOT; files may be added without
# touching CMake (the glob is re-checked at build time).
function(lumivex_library name)
  cmake_parse_arguments(L "" "ROOT" "DEPS;INCLUDES" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS "${L_ROOT}/*.cpp")
  if(NOT srcs)
    set(srcs "${PROJECT_SOURCE_DIR}/cmake/empty.cpp")
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${L_INCLUDES})
  target_link_libraries(${name} PUBLIC ${L_DEPS})
endfunction()

# lumivex_test(NAME SOURCES ... LIBS ... LABELS ...)
# A GoogleTest executable whose tests are registered with CTest under the
# given labels (one or more), each bounded by a CTest time-out so nothing
# can hang CI.
function(lumivex_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    LUMIVEX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    LUMIVEX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # The discovered tests' properties are written out as one flat list, so a
  # list of labels would be taken for property names: the first label goes
  # in here, and the whole list is set by a script that ctest runs after
  # the discovery (it names the tests in <name>_TESTS).
  list(GET T_LABELS 0 first_label)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${first_label}" TIMEOUT ${T_TIMEOUT})
  list(LENGTH T_LABELS label_count)
  if(label_count GREATER 1)
    set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake")
    file(WRITE "${labels_file}" "set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
  endif()
endfunction()

# Adds every direct sub-folder of the current folder that has a CMakeLists.txt.
macro(lumivex_add_subfolders)
  file(GLOB _children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _children)
  foreach(_child ${_children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${_child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_child}/CMakeLists.txt)
      add_subdirectory(${_child})
    endif()
  endforeach()
endmacro()
