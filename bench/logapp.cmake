# The measurement raster under 3 x 50 blocks at 1 ms: thread CPU time of a tick, as percentiles,
# against the 1 ms tick.
msd_add_bench(bench_logapp SOURCES ${CMAKE_CURRENT_LIST_DIR}/logapp_rmeasure.cpp LIBS msd_logging)
# The PC's delete walk over 10,000 downloaded files against unlink(2) and `rm -f` of the same files
# in the same folder, in wall time, alternating block by block.
msd_add_bench(bench_dflag SOURCES ${CMAKE_CURRENT_LIST_DIR}/logapp_dflag_walk.cpp LIBS msd_logging)
