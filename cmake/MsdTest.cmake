# msd_add_gtest(<name> SOURCES <files...> LIBS <libs...> LABELS <label>)
# One label per executable (the area); select several with a regular expression (ctest -L).
# One GoogleTest executable whose cases ctest discovers one by one.
find_package(GTest REQUIRED)
include(GoogleTest)

function(msd_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} msd_testsupport GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT 120)
endfunction()
