# Build-speed switches. CI runs on two cores, so a clean build must stay cheap.
# Figures (CPU-seconds, user+sys, g++ 12) are in the commit messages that
# introduced each switch.
#
# Unity builds (LUMIVEX_UNITY, default ON): CMake compiles the .cpp files of a
# target in batches, each batch as one translation unit (Unity/unity_N_cxx.cxx
# in the target's build folder) that #includes its members, so heavy headers
# are parsed and common templates instantiated once per batch instead of once
# per file. Libraries use batches of LUMIVEX_UNITY_BATCH files; each test
# executable is one batch.
#   - Two files of one batch must not define the same name at namespace scope
#     in an anonymous namespace or as `static`; the compiler then reports a
#     redefinition (or an ambiguous name) inside unity_N_cxx.cxx. Rename one of
#     them, or keep one file out of the batches:
#       set_source_files_properties(F.cpp PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
#     (lumivex_library takes UNITY_ALONE regexes for the same purpose).
#   - Batches follow the sorted file order, so adding a file can move others
#     into another batch; a collision may show up in files nobody touched.
#   - To debug one: configure with -DLUMIVEX_UNITY=OFF (every file on its own),
#     or switch one target off: set_target_properties(T PROPERTIES UNITY_BUILD OFF).
#     -DLUMIVEX_UNITY_BATCH=1000 makes each library one batch and so shows
#     every clash at once; the libraries outside lib/ have none.
#   - A file that only compiles inside a batch is missing an #include; a build
#     with -DLUMIVEX_UNITY=OFF finds those.
# Precompiled headers (LUMIVEX_PCH, default OFF): the speed-test client and the
# measurement library can precompile their Boost and POCO headers. With unity
# batches g++ gains nothing from them: loading the 130-160 MB header costs
# about as much system time per translation unit as it saves in parsing, and
# small files get slower. -Winvalid-pch reports a header built with flags a
# target does not share (g++ would silently parse the text instead).
# Linker (LUMIVEX_LINKER, default lld where the compiler accepts it): lld links
# the test executables about three times faster than GNU ld.
# Debug information (LUMIVEX_DEBUG_INFO): "full" (-g, the default) or "lines"
# (-g1: line tables only, enough for backtraces and sanitizer reports; no
# variables for a debugger). scripts/test uses "lines" when CI=true.
option(LUMIVEX_UNITY "Compile the sources of each target in batches (unity build)" ON)
option(LUMIVEX_PCH "Precompile the heavy Boost and POCO headers" OFF)
set(LUMIVEX_UNITY_BATCH 8 CACHE STRING "Default number of .cpp files per unity batch")
set(LUMIVEX_DEBUG_INFO full CACHE STRING "Debug information in Debug builds: full or lines")
set_property(CACHE LUMIVEX_DEBUG_INFO PROPERTY STRINGS full lines)

if(LUMIVEX_UNITY)
  set(CMAKE_UNITY_BUILD ON)
  set(CMAKE_UNITY_BUILD_BATCH_SIZE ${LUMIVEX_UNITY_BATCH})
  # Inside a batch every .cpp counts as an included file, and g++ then warns
  # about coroutine frames of file-local types as if they were in a header.
  add_compile_options(-Wno-subobject-linkage)
endif()
if(LUMIVEX_PCH)
  add_compile_options(-Winvalid-pch)
endif()
if(LUMIVEX_DEBUG_INFO STREQUAL "lines")
  # Comes after CMAKE_CXX_FLAGS_DEBUG's -g on the command line, so it wins.
  add_compile_options($<$<CONFIG:Debug>:-g1>)
elseif(NOT LUMIVEX_DEBUG_INFO STREQUAL "full")
  message(FATAL_ERROR "LUMIVEX_DEBUG_INFO must be full or lines, not ${LUMIVEX_DEBUG_INFO}")
endif()

include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld LUMIVEX_HAVE_LLD)
if(LUMIVEX_HAVE_LLD)
  set(_lumivex_default_linker lld)
else()
  set(_lumivex_default_linker default)
endif()
set(LUMIVEX_LINKER ${_lumivex_default_linker} CACHE STRING "Linker for -fuse-ld= (lld, gold, bfd) or default")
if(NOT LUMIVEX_LINKER STREQUAL "default")
  add_link_options(-fuse-ld=${LUMIVEX_LINKER})
endif()

# lumivex_library(NAME ROOT <dir> [DEPS ...] [INCLUDES ...] [PCH <header>...]
#                 [UNITY_BATCH n] [UNITY_ALONE <regex>...])
# A static library made of every .cpp below ROOT; files may be added without
# touching CMake (the glob is re-checked at build time). PCH names headers to
# precompile for this library's own sources. Files whose path below ROOT
# matches a UNITY_ALONE regex stay out of the unity batches (each compiles on
# its own): for files that define the same file-local names.
function(lumivex_library name)
  cmake_parse_arguments(L "" "ROOT;UNITY_BATCH" "DEPS;INCLUDES;PCH;UNITY_ALONE" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS "${L_ROOT}/*.cpp")
  if(NOT srcs)
    set(srcs "${PROJECT_SOURCE_DIR}/cmake/empty.cpp")
  endif()
  foreach(src IN LISTS srcs)
    file(RELATIVE_PATH rel "${L_ROOT}" "${src}")
    foreach(re IN LISTS L_UNITY_ALONE)
      if(rel MATCHES "${re}")
        set_source_files_properties(${src} PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
      endif()
    endforeach()
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${L_INCLUDES})
  target_link_libraries(${name} PUBLIC ${L_DEPS})
  if(L_UNITY_BATCH)
    set_target_properties(${name} PROPERTIES UNITY_BUILD_BATCH_SIZE ${L_UNITY_BATCH})
  endif()
  if(LUMIVEX_PCH AND L_PCH)
    target_precompile_headers(${name} PRIVATE ${L_PCH})
  endif()
endfunction()

# lumivex_test(NAME SOURCES ... LIBS ... LABELS ...)
# A GoogleTest executable whose tests are registered with CTest under the
# given labels (one or more), each bounded by a CTest time-out so nothing
# can hang CI. All sources of one test executable form one unity batch.
function(lumivex_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # Helpers any test may use (child processes of this build's programs).
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(${name} PRIVATE
    LUMIVEX_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    LUMIVEX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  set_target_properties(${name} PROPERTIES UNITY_BUILD_BATCH_SIZE 0)
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
