# NMEA lines from the GPS receiver, and the track file of track detection.
msd_add_fuzz(gps_parse SOURCES ${CMAKE_CURRENT_LIST_DIR}/gps_parse.cpp LIBS msd_laptiming)
msd_add_fuzz(gps_tracks SOURCES ${CMAKE_CURRENT_LIST_DIR}/gps_tracks.cpp LIBS msd_laptiming)
# The fix times that pace a replayed receiver file on a serial port.
msd_add_fuzz(serial_fixtime SOURCES ${CMAKE_CURRENT_LIST_DIR}/serial_fixtime.cpp LIBS msd_platform_board)
