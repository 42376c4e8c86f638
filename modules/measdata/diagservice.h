// Identity data the diagnostic service hands out.
#pragma once

#include <cstddef>

// Copies the car identifier (the car id kept in the signal page, 32 bytes) into `buffer`,
// NUL-terminated and cut to `size` bytes.
void diagService_GetCarId(char* buffer, size_t size);

// Sets the car identifier in the signal page from `size` bytes of `id` (the rest of the 32 bytes
// cleared). The 100 ms task sets it while the measurement task reads it into a new file's header:
// both go through these two calls, so that a header never takes half of an old identifier and half
// of a new one.
void diagService_SetCarId(const char* id, size_t size);

// The ECU annotation in the signal page (256 bytes, a byte field that may hold no NUL), whole, under
// the same lock: the status block copies it while the 100 ms task may set it, and neither reads
// the NV store for it.
void diagService_GetAnnotation(char* buffer, size_t size);
void diagService_SetAnnotation(const char* annotation, size_t size);
