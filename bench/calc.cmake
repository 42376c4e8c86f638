# The RPN evaluator against the same expression compiled; the raster queue walk against a bare loop.
msd_add_bench(bench_calc SOURCES ${CMAKE_CURRENT_LIST_DIR}/calc_upn.cpp LIBS msd_calc)
