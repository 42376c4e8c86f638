// Identity data the diagnostic service hands out.
#pragma once

#include <cstddef>

// Copies the car identifier (the car id kept in the signal page, 32 bytes) into `buffer`,
// NUL-terminated and cut to `size` bytes.
void diagService_GetCarId(char* buffer, size_t size);
