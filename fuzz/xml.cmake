# Pull scanner and attribute parser over arbitrary text.
msd_add_fuzz(xml_scan SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xml_scan.cpp LIBS msd_xml)
