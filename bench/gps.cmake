# NMEA parsing of a recorded log, in microseconds per sentence; a track detection cycle over 10,000
# tracks against a bare loop of the same distance calculations.
msd_add_bench(bench_gps SOURCES ${CMAKE_CURRENT_LIST_DIR}/gps_nmea_trackdet.cpp LIBS msd_laptiming)
target_compile_definitions(bench_gps PRIVATE MSD_SOURCE_DIR_DEFAULT="${PROJECT_SOURCE_DIR}")
