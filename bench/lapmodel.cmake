# The lap model's three steps with their glue per simulated second against the same raster calls of
# empty functions; the cost of one 1 ms and one 10 ms step.
msd_add_bench(bench_lapmodel SOURCES ${CMAKE_CURRENT_LIST_DIR}/lapmodel_steps.cpp LIBS msd_calc)
