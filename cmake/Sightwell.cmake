# Shared build settings for every Sightwell target.

add_compile_options(-Wall -Wextra -fno-omit-frame-pointer)

if(SIGHTWELL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(SIGHTWELL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
elseif(NOT SIGHTWELL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "SIGHTWELL_SANITIZE must be empty, address or thread")
endif()

if(SIGHTWELL_FUZZ)
  # Coverage feedback for libFuzzer in every library the targets link.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# sightwell_library(NAME [DEPS ...]): one static library per folder, built
# from every .cpp/.c file in it, included as "lib/x/y.h" from the tree root.
function(sightwell_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT srcs)
    # A folder whose sources are still to come builds as an empty library.
    set(srcs ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE SIGHTWELL_SOURCE_ROOT="${PROJECT_SOURCE_DIR}/")
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# sightwell_gtest(NAME SOURCES... [DEPS ...] [LABELS ...]): a GoogleTest
# executable registered with CTest. Label "unit" marks tests that need no
# services and run in the sanitizer builds; "integration" ones need
# scripts/testenv (started by the tests themselves).
function(sightwell_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(SIGHTWELL_UNIT_ONLY AND NOT "unit" IN_LIST ARG_LABELS)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    SIGHTWELL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    SIGHTWELL_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT})
endfunction()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()
