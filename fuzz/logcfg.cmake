# The logging configuration: compact files into meas_app_load, XML texts into meas_app_xml_load.
msd_add_fuzz(meas_app_load SOURCES ${CMAKE_CURRENT_LIST_DIR}/meas_app_load.cpp LIBS msd_logging)
msd_add_fuzz(meas_app_xml_load SOURCES ${CMAKE_CURRENT_LIST_DIR}/meas_app_xml_load.cpp LIBS msd_logging)
