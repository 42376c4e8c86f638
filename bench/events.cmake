# The event channels' 10 ms check over 50 events with a full list's record against memcpy of the
# record; the idle cost of three event loggers against bare 1 ms sleep loops.
msd_add_bench(bench_events SOURCES ${CMAKE_CURRENT_LIST_DIR}/events_cyclic_idle.cpp LIBS msd_logging)
