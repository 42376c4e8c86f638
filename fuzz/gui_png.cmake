# The PNG decoder over arbitrary bytes, with the converter's output depths and modes.
msd_add_fuzz(gui_png SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_png.cpp LIBS msd_gui)
