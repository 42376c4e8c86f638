# Measurement frames against memcpy and zlib level 1; block FIFO put and get against a memcpy ring.
msd_add_bench(bench_frames SOURCES ${CMAKE_CURRENT_LIST_DIR}/frames_fifo.cpp LIBS msd_logging ZLIB::ZLIB)
