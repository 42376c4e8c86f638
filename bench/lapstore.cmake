# The counter store, a lap-stack append and its clearing in the NV store, each against raw pwrite of
# the same bytes.
msd_add_bench(bench_lapstore SOURCES ${CMAKE_CURRENT_LIST_DIR}/lapstore_nv.cpp LIBS msd_laptiming msd_logging)
