# The screen's shape primitives with arbitrary geometry, into a guarded bitmap and onto the screen.
msd_add_fuzz(gui_shapes SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_shapes.cpp LIBS msd_gui)
# A window with one widget of each kind of the catalogue, driven by pointer, ticks and setters.
msd_add_fuzz(gui_widgets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_widgets.cpp ${CMAKE_CURRENT_SOURCE_DIR}/gui_fuzzkit.cpp LIBS msd_gui)
# The data and structure widgets (lists, combo box, charts, menus, decorations, spreadsheet,
# table, tree view) driven by arbitrary call sequences and pointer messages.
msd_add_fuzz(gui_datawidgets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_datawidgets.cpp
             ${CMAKE_CURRENT_SOURCE_DIR}/gui_fuzzkit.cpp LIBS msd_gui)
# The text widgets driven by keys, pointer, marks, texts set, appended and pasted, and scrolling.
msd_add_fuzz(gui_text SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/gui_text.cpp ${CMAKE_CURRENT_SOURCE_DIR}/gui_fuzzkit.cpp LIBS msd_gui)
