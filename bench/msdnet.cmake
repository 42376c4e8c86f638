# DK link throughput: records from a data FIFO of one device into the FIFO of another, over TCP
# and over UDP, next to a raw loopback socket carrying the same bytes.
msd_add_bench(bench_msdnet SOURCES ${CMAKE_CURRENT_LIST_DIR}/msdnet_throughput.cpp LIBS msd_msdcom)
