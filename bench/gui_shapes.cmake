# The screen's shape primitives, each against the plain memory operation or primitive it competes with.
msd_add_bench(gui_shapes_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/gui_shapes.cpp LIBS msd_gui)
