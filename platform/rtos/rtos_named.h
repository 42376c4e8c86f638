// The registry of named semaphores and message queues (names beginning with "/").
#pragma once

#include <functional>

namespace rtos_detail {

enum class NamedKind { Semaphore, Queue };

// Returns the object of that name, creating it with `create` when OM_CREATE is given and it does
// not exist. nullptr when it does not exist without OM_CREATE, exists with OM_CREATE | OM_EXCL, or
// exists as the other kind.
void* named_open(const char* name, NamedKind kind, int mode, const std::function<void*()>& create);
// Drops the name of a deleted object.
void named_forget(const void* object);
bool named_unlink(const char* name, NamedKind kind);

} // namespace rtos_detail
