# The log reader's flood guard against the work the reader does for every line it writes.
msd_add_bench(bench_syslog SOURCES ${CMAKE_CURRENT_LIST_DIR}/syslog_guard.cpp LIBS msd_platform_kernel)
