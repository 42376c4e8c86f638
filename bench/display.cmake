# Loading a large display.xml, compared with expat parsing the same bytes with empty handlers.
msd_add_bench(display_xml_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/display_xml_bench.cpp LIBS msd_display EXPAT::EXPAT)
target_compile_definitions(display_xml_bench PRIVATE MSD_SOURCE_DIR_DEFAULT="${PROJECT_SOURCE_DIR}")
# Display data decoding, a screen of the largest built-in font, and unpacking the built-in fonts.
msd_add_bench(display_data_fonts_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/display_data_fonts.cpp LIBS msd_display)
