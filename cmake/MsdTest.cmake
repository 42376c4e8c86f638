# msd_add_gtest(<name> SOURCES <files...> LIBS <libs...> LABELS <label> [OPTIMISED]
#               [TIMEOUT <seconds, default 120>])
# One label per executable (the area); select several with a regular expression (ctest -L).
# One GoogleTest executable whose cases ctest discovers one by one.
find_package(GTest REQUIRED)
include(GoogleTest)

# Test code builds without optimisation: it is most of the build time (GoogleTest's macros are
# slow to optimise), and what the tests exercise and time is the optimised modules' code. A test
# executable that computes its own references pixel by pixel says OPTIMISED: unoptimised, under
# the thread sanitizer, it runs longer than it takes to build optimised. (Optimised and
# unoptimised files are not mixed in one executable: the linker keeps either copy of an inline
# function.)
function(msd_test_code target)
  target_compile_options(${target} PRIVATE -O0)
endfunction()

function(msd_add_gtest name)
  cmake_parse_arguments(T "OPTIMISED" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  if(NOT T_OPTIMISED)
    msd_test_code(${name})
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} msd_testsupport GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()
