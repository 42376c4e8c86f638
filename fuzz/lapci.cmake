# Lap-trigger, version and lap-stack information messages from the network into ci_serve_command.
msd_add_fuzz(lapci_serve SOURCES ${CMAKE_CURRENT_LIST_DIR}/lapci_serve.cpp LIBS msd_laptiming msd_logging)
