// The display's shell command and the page sets (command 0x1600 of the command interpreter).
#pragma once

#include <cstdint>

#include "msdcom/ci/ci_msg.h"

// The handler of the shell command "display" (given to the framework's common commands at
// start-up): 0 when done, -1 with the reason on the shell otherwise.
int displayCommandFunc(int argc, char** argv);
void display_usage();
// Writes the shown screen as a BMP file to a device path ("c:/screen.bmp"). 0, or -1 with the
// reason on the shell when there is no screen or the file cannot be written.
int display_bmpwrite(const char* path);

// Command 0x1600: a 16-byte page-set name; any name but the active one starts the post-run.
void display_pageset_cmd(comint_msg* frame);
// Sends a page-set name to the device with that PID.
void display_pageset_tlc(uint16_t pid, const char* name);
// Start-up: the page-set store and the handler of 0x1600.
void display_pageset_ini();

// The page-set store: placeholders (the active name is always empty).
void pageSetName_ini();
void pageSetName_100ms();
void pageSetName_getName(uint8_t* buffer, uint32_t size);
void pageSetName_putName(uint8_t* name, uint32_t size);
