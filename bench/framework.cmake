msd_add_bench(bench_rtos SOURCES ${CMAKE_CURRENT_LIST_DIR}/framework_rtos.cpp LIBS msd_framework)
