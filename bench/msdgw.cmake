msd_add_bench(bench_msdgw SOURCES ${CMAKE_CURRENT_LIST_DIR}/msdgw_raster.cpp LIBS msd_msdcom)
