// One object of each key (a drive, say), made on its first use and never freed: a reference taken
// once stays valid for the life of the process, also for a task that still uses it while the
// process ends. Make the table itself with `new` and keep it, for the same reason.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

template <typename T>
class PerKey {
public:
    // The object of `key`; a new one is handed to `made` first, under the table's lock, so that no
    // other caller sees it before it is set up.
    template <typename Made>
    T& get(const std::string& key, Made made) {
        std::lock_guard<std::mutex> lk(m_);
        std::unique_ptr<T>& item = items_[key];
        if (!item) {
            item = std::make_unique<T>();
            made(*item);
        }
        return *item;
    }
    T& get(const std::string& key) {
        return get(key, [](T&) {});
    }
    // The object of `key` when one was made; null otherwise.
    T* find(const std::string& key) {
        std::lock_guard<std::mutex> lk(m_);
        const auto it = items_.find(key);
        return it == items_.end() ? nullptr : it->second.get();
    }
    // `visit` on each object, under the table's lock.
    template <typename Visit>
    void forEach(Visit visit) {
        std::lock_guard<std::mutex> lk(m_);
        for (auto& [key, item] : items_) visit(*item);
    }

private:
    std::mutex m_;
    std::map<std::string, std::unique_ptr<T>> items_;
};
