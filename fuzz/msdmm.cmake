# Measurement requests by address (0x0500) and by name (0x0510) as peers send them.
msd_add_fuzz(msdmm_requests SOURCES ${CMAKE_CURRENT_LIST_DIR}/msdmm_requests.cpp LIBS msd_msdcom msd_measdata)
