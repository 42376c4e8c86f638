// Start-up of the device network's transport side: what the start-up sequence calls.
//   network stack (after the name table, after routing_ini, dynkomm_ini and comint_ini): net_ini()
//   DivoVur2 start (after the event service, before raster step 1):                    BC2_init()
//   ordered shutdown, DivoVur2 place:                                                  BC2_stop()
#pragma once

// Installs the links and the path manager into the command interpreter, sets up the sender lists
// with the handlers 0x0300/0x0301, and hooks the send schedule into the two 10 ms send rasters.
// False when the path manager could not be set up (logged).
bool net_ini();
