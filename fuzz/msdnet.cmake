# Network input of the device transport: DK datagrams, presence records, CI and DK link streams.
msd_add_fuzz(msdnet_dk SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/msdnet_dk.cpp LIBS msd_msdcom)
msd_add_fuzz(msdnet_presence SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/msdnet_presence.cpp LIBS msd_msdcom)
msd_add_fuzz(msdnet_links SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/msdnet_links.cpp LIBS msd_msdcom)
