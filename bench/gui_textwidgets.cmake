# The text widgets: line counting, appending to a long log and a keystroke into a long edit box.
msd_add_bench(gui_textwidgets_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/gui_textwidgets.cpp LIBS msd_gui)
