# The display configuration reader over arbitrary text held in memory.
msd_add_fuzz(display_xml SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/display_xml_fuzz.cpp LIBS msd_display)
