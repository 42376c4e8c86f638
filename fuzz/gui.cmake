# The screen's shape primitives with arbitrary geometry, into a guarded bitmap and onto the screen.
msd_add_fuzz(gui_shapes SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_shapes.cpp LIBS msd_gui)
