// Message queues shared with other processes of the device, such as the PC-connection service's
// "/MeasAppRCTRL_RX" and "/MeasAppRCTRL_TX".
//
// How the host differs from the device: the device's kernel names such queues once for the whole
// device. Here they are POSIX message queues whose names are made from the device root and the
// application index, so that processes on other roots never meet them. The names are published in
// the file "mqueue-<index>.names" under the device root, one line "<device name> <POSIX name>" per
// queue opened, for a test or a companion process that plays the other side. The queues of a root
// and index belong to its application: it removes their names when it ends (a companion keeps what
// it has open), and whoever clears away a root after a kill removes those it lists.
#pragma once

#include "platform/rtos/rtos.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

struct SysMq;
using SYSMQ_ID = SysMq*;

// The device root and application index the names are made for (start-up, before any open).
void sysmq_configure(const std::string& deviceRoot, int appIndex);
// The POSIX name of a device queue name ("/MeasAppRCTRL_RX") for the configured root and index.
std::string sysmq_hostName(const char* name);

// Opens the queue `name` (beginning with "/") for reading and writing, creating it with room for
// `maxMsgs` messages of `msgLen` bytes when absent. nullptr with errno set on failure.
SYSMQ_ID sysmq_open(const char* name, int maxMsgs, int msgLen);
// The next message, truncated to `maxNBytes`: its length (a message may be shorter than asked
// for), or ERROR with errno set (EAGAIN: none within the time-out). The time-out is in ticks;
// WAIT_FOREVER waits without limit, and a task deleted meanwhile ends in the wait.
ssize_t sysmq_receive(SYSMQ_ID q, void* buffer, size_t maxNBytes, _Vx_ticks_t timeout);
// The same, with the message's place in the order of arrival into `number` (1 the first message
// that came into the queue since this process opened it), as long as this process alone takes from
// the queue.
ssize_t sysmq_receiveNumbered(SYSMQ_ID q, void* buffer, size_t maxNBytes, _Vx_ticks_t timeout,
                              uint64_t* number);
// The messages that have come into the queue so far: those taken and those waiting, counted at one
// moment (a message sent before it is counted, whether taken yet or not; one sent after it is not).
uint64_t sysmq_arrivals(SYSMQ_ID q);
// OK, or ERROR with errno set (EAGAIN: the queue stayed full for the time-out).
STATUS sysmq_send(SYSMQ_ID q, const void* buffer, size_t nBytes, _Vx_ticks_t timeout);
void sysmq_close(SYSMQ_ID q);
// Removes the names of the queues this process opened, and the published list.
void sysmq_unlinkPublished();
