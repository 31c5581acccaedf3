# Options every target of the toolkit compiles with, carried by one
# INTERFACE target so that no folder repeats them.
add_library(vostel_options INTERFACE)
target_compile_features(vostel_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(vostel_options INTERFACE
  -Wall -Wextra -Wpedantic
  # Results must be bit-identical across compilers and optimisation levels:
  # never fuse a multiply and an add into one rounding.
  -ffp-contract=off)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  # g++ 12 at -O2 reports impossible overlaps in inlined std::string
  # concatenation ("literal" + std::string); a known false positive.
  target_compile_options(vostel_options INTERFACE -Wno-restrict)
endif()
if(VOSTEL_WERROR)
  target_compile_options(vostel_options INTERFACE -Werror)
endif()
if(VOSTEL_SANITIZE)
  target_compile_options(vostel_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(vostel_options INTERFACE -fsanitize=address,undefined)
endif()

# Every library target: the options above plus the repository root as the
# include directory, so headers are included as "engine/event_queue.hpp".
function(vostel_library name)
  add_library(${name} ${ARGN})
  target_link_libraries(${name} PUBLIC vostel_options)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# One test binary per subsystem, registered with CTest.
function(vostel_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE vostel_options vostel_test_support ${T_LIBS} GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VOSTEL_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data")
  gtest_discover_tests(${name} WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} DISCOVERY_TIMEOUT 60)
endfunction()
