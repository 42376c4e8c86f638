# Measurement frames coded and read back by the test suite's own measurement-file reader.
msd_add_fuzz(meas_frame SOURCES ${CMAKE_CURRENT_LIST_DIR}/meas_frame.cpp ${PROJECT_SOURCE_DIR}/tests/support/measfile.cpp
  LIBS msd_logging)
target_include_directories(meas_frame PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
