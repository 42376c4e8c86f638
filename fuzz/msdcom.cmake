# CI messages from the network as the command interpreter serves them.
msd_add_fuzz(msdcom_ci_serve SOURCES ${CMAKE_CURRENT_LIST_DIR}/msdcom_ci_serve.cpp LIBS msd_msdcom msd_logging)
