// The serial ports "/tyCo/0" (telemetry) and "/tyCo/1" (GPS receiver).
//
// How the host differs from the device:
// - By default a port is a pseudo-terminal. The application holds the master end; the other end's
//   path is published as a symbolic link under the device root, "tty/tyCo0" and "tty/tyCo1"
//   (application index 1 publishes "tty/tyCo0-1" and "tty/tyCo1-1", so two processes can share a
//   root). Attach a terminal program or a test to that path. The pseudo-terminal lives from the
//   first open until serial_shutdown or the next serial_configure, so the published path stays
//   valid while a port is reopened. The line is raw; the baud rate is applied through termios and
//   has no effect on the speed.
// - By configuration a port replays a file ("file:<path>") or reads a FIFO ("fifo:<path>", made
//   when missing); relative paths are relative to the device root. A replayed file is sent as the
//   receiver that recorded it sent it: each fix's sentences (an NMEA line with a fix time, and the
//   lines after it) when the fix's time comes, counted from the first fix, which goes at once; and
//   never faster than baud / 10 bytes per second, so a file without fix times plays at line speed.
//   Midnight is passed through; a fix time that goes back, or on by more than a minute (longer than
//   any pause of a receiver: one that started again, or two logs joined), starts the count again at
//   once from that fix.
//   This is real time, also when the host clock is driven by hand. At the end of the file reads wait
//   out their time-out and give 0. It is handed over a line at a time, once the line's last byte is
//   due (as a port in line mode reads), or as much as is due when the read's time-out ends first.
// - Writes never block: what a pty or FIFO cannot take now, and everything written to a replayed
//   file, is dropped, as bytes on a line that nobody listens to. Up to the pty's buffer (about
//   4 KiB) written while no peer is attached waits there for the next peer.
// - Reads take a time-out in milliseconds (negative: wait for data without limit; use finite
//   time-outs in tasks that must end at shutdown). serial_close wakes a read blocked on the same
//   descriptor, which then returns -1.
#pragma once

#include <cstddef>
#include <string>

#include <fcntl.h>
#include <sys/types.h>

inline constexpr int SERIAL_PORTS = 2;
inline constexpr int SERIAL_DEFAULT_BAUD = 9600;

enum class SerialKind { Pty, File, Fifo };

struct SerialPortMap {
    SerialKind kind = SerialKind::Pty;
    std::string path; // host path of the file or FIFO
};

// Parses a mapping text: "pty", "file:<path>" or "fifo:<path>". False with a reason when malformed.
bool serial_parseMapping(const std::string& text, const std::string& deviceRoot, SerialPortMap* out,
                         std::string* error);

// Sets the mapping of both ports for the application `appIndex` in `deviceRoot`. Pseudo-terminals
// made before are closed and their links removed; descriptors still open keep working until closed.
void serial_configure(const std::string& deviceRoot, int appIndex, const SerialPortMap ports[SERIAL_PORTS]);
// Host path of the link that publishes the pty end of port 0 or 1 (empty before configure).
std::string serial_publishedPath(int port);

// Opens "/tyCo/0" or "/tyCo/1" with O_RDONLY, O_WRONLY or O_RDWR. Returns a descriptor, or -1 with
// the reason in `error` (unknown device, not configured, file or pty not available).
int serial_open(const char* name, std::string* error, int flags = O_RDWR);
// Bytes read (> 0), 0 on time-out or at the end of a replayed file, -1 on error or when closed.
ssize_t serial_read(int fd, void* buf, size_t n, int timeoutMs);
// Bytes taken (dropped bytes count as taken), -1 on error.
ssize_t serial_write(int fd, const void* buf, size_t n);
// Sets the port's baud rate (also for later opens). 0 on success, -1 for an unknown descriptor, a
// rate not above 0 or a rate the pseudo-terminal does not know.
int serial_setBaud(int fd, int baud);
void serial_close(int fd);

// Closes every descriptor and pseudo-terminal and removes the published links (shutdown, tests).
void serial_shutdown();
