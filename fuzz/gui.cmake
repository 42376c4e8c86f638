# The screen's shape primitives with arbitrary geometry, into a guarded bitmap and onto the screen.
msd_add_fuzz(gui_shapes SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_shapes.cpp LIBS msd_gui)
# A window with one widget of each kind of the catalogue, driven by pointer, ticks and setters.
msd_add_fuzz(gui_widgets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_widgets.cpp LIBS msd_gui)
