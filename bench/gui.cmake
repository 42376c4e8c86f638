# GUI drawing, each compared with the plain memory operation that moves the same bytes.
msd_add_bench(gui_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/gui_draw.cpp LIBS msd_gui)
