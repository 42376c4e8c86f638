# A 255-block XML logging configuration against reading its file; a condition check on a full ring
# against a binary search; a 100 MiB copy to "usb_meas:" against cp.
msd_add_bench(bench_logcfg SOURCES ${CMAKE_CURRENT_LIST_DIR}/logcfg_load_cond_copy.cpp LIBS msd_logging)
