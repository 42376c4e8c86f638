// The GPS receiver on the second serial port, "/tyCo/1".
#pragma once

// Start-up (after the time service, before the calculation scheduler): resets the NMEA data record
// and starts "r_gpsTask" and "r_gpsTaskOut" when the board has the GPS port.
void gps_init();
// Ordered shutdown: ends "r_gpsTask" ("r_gpsTaskOut" keeps publishing the last state).
void gps_stop();
// Ends "r_gpsTaskOut" too (tests that start the receiver more than once in one process).
void gps_stopOutput();

// Opens "/tyCo/1" for reading at `baud`. The descriptor, or -1 after logging why.
int gps_intf_open(int baud);
// Bodies of the two tasks.
void gps_task();
void gps_task_output();
// Factory echo test on the GPS port; nothing in the application starts it.
void rs232_loopback_2_task();
