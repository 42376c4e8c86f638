# The store's drive writer (frames through Pretrigger, Backend and writer task, flushed every
# 0.5 s with fdatasync) against raw write(2) of the same bytes in 64 KiB pieces, synced alike.
msd_add_bench(bench_store SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_writer.cpp LIBS msd_logging)
