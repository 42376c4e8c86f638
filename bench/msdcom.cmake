msd_add_bench(bench_msdcom SOURCES ${CMAKE_CURRENT_LIST_DIR}/msdcom_ci_fifo.cpp LIBS msd_msdcom)
