# PNG decoding (next to libpng, when its development package is there, and to zlib's inflate), a
# page tick of 30 changing boxes against the 50 ms frame, and the BMP dump against a raw write.
msd_add_bench(display_pages_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/display_pages.cpp LIBS msd_display)
find_package(PNG QUIET)
if(PNG_FOUND)
  target_link_libraries(display_pages_bench PRIVATE PNG::PNG)
  target_compile_definitions(display_pages_bench PRIVATE MSD_BENCH_LIBPNG=1)
else()
  message(STATUS "libpng not found: the PNG benchmark runs without its libpng comparison")
endif()
