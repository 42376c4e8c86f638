# The measurement raster under 3 x 50 blocks at 1 ms: thread CPU time of a tick, as percentiles,
# against the 1 ms tick.
msd_add_bench(bench_logapp SOURCES ${CMAKE_CURRENT_LIST_DIR}/logapp_rmeasure.cpp LIBS msd_logging)
