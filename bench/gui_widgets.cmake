# Widgets of the catalogue: partial redraws and off-screen composites against full redraws and the
# plain memory operations they compete with.
msd_add_bench(gui_widgets_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/gui_widgets.cpp LIBS msd_gui)
# The data and structure widgets against the page tick and memset of a full screen.
msd_add_bench(gui_datawidgets_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/gui_datawidgets.cpp LIBS msd_gui)
