# The display configuration reader over arbitrary text held in memory.
msd_add_fuzz(display_xml SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/display_xml_fuzz.cpp LIBS msd_display)
# Display texts of any value, mode and format.
msd_add_fuzz(display_datastr SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/display_datastr_fuzz.cpp LIBS msd_display)
