#include "platform/rtos/rtos_named.h"

#include "platform/rtos/rtos.h"

#include <map>
#include <mutex>
#include <string>

namespace rtos_detail {
namespace {

struct Entry {
    NamedKind kind;
    void* object;
};

std::mutex& registryMutex() {
    static auto* m = new std::mutex;
    return *m;
}

std::map<std::string, Entry>& registry() {
    static auto* r = new std::map<std::string, Entry>;
    return *r;
}

} // namespace

void* named_open(const char* name, NamedKind kind, int mode, const std::function<void*()>& create) {
    std::lock_guard<std::mutex> lk(registryMutex());
    auto it = registry().find(name);
    if (it != registry().end()) {
        if (it->second.kind != kind) return nullptr;
        if ((mode & OM_CREATE) && (mode & OM_EXCL)) return nullptr;
        return it->second.object;
    }
    if (!(mode & OM_CREATE)) return nullptr;
    void* object = create();
    if (object) registry()[name] = Entry{kind, object};
    return object;
}

void named_forget(const void* object) {
    std::lock_guard<std::mutex> lk(registryMutex());
    for (auto it = registry().begin(); it != registry().end(); ++it) {
        if (it->second.object == object) {
            registry().erase(it);
            return;
        }
    }
}

bool named_unlink(const char* name, NamedKind kind) {
    if (!name) return false;
    std::lock_guard<std::mutex> lk(registryMutex());
    auto it = registry().find(name);
    if (it == registry().end() || it->second.kind != kind) return false;
    registry().erase(it);
    return true;
}

} // namespace rtos_detail
