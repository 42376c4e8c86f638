// File and drive helpers over the device's drives ("cfg:", "meas:", ...).
#pragma once

#include <cstddef>
#include <cstdio>

// True (1) when the file can be opened for reading; it is opened and closed again.
int fexist(const char* path);
// Reads the whole file into a new buffer with one extra terminating zero byte; the caller frees it
// with free(). The length (without the zero byte) is returned through `length` when given.
// nullptr on any failure.
char* fload(const char* path, size_t* length);
// Size of the file in bytes; 0 for a null path or a file that does not exist or cannot be opened
// (each logged at priority 147).
long fsize(const char* path);
// Splits "meas:/dir/A0101000.000" into the drive ("meas:"), the directory ("/dir/") and the file
// name ("A0101000.000"), each into a buffer of `size` characters (cut and terminated); a null
// buffer is skipped.
void measPathSplitn(const char* path, char* drive, char* dir, char* file, size_t size);
// 0 when the drive is available (the drive service's answer), -1 otherwise.
int driveAvailable(const char* drive);
