msd_add_bench(bench_msdmm SOURCES ${CMAKE_CURRENT_LIST_DIR}/msdmm_copy.cpp LIBS msd_msdcom msd_measdata)
