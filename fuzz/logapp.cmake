# The logging application's gateway callbacks: start replies, records and time-outs.
msd_add_fuzz(meas_app_callbacks SOURCES ${CMAKE_CURRENT_LIST_DIR}/meas_app_callbacks.cpp LIBS msd_logging)
