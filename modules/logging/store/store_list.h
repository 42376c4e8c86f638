// The action list of the store: a singly linked list with counters, numbered entries and up to 16
// registered iterators. Entries are appended and cut off under the list's lock; an iterator moves
// forward without it, following links that are published with release and read with acquire, so
// the owner of an iterator only needs the entries from its position on to stay (the Backend cuts
// only entries behind every position).
#pragma once

#include "framework/syslog.h"
#include "logging/store/store_lock.h"

#include <atomic>
#include <cstdint>

namespace measure::store {

inline constexpr uint32_t kNodeOverhead = 16; // bytes a node adds to its entry
inline constexpr int kMaxIterators = 16;

template <class T> struct Node {
    Node(T* item, uint32_t size) : size(size), item(item) {}
    virtual ~Node() = default; // the item is the list's to destroy
    std::atomic<Node*> next{nullptr};
    uint32_t size; // the item's size + kNodeOverhead
    T* item;
};

template <class T> class List;

template <class T> class Iterator {
public:
    Iterator(List<T>* list, Node<T>* current, Node<T>* next, uint32_t position)
        : list_(list), current_(current), next_(next), position_(position) {}
    virtual ~Iterator() {
        if (registered_.load()) list_->removeIterator(this);
    }
    Iterator(const Iterator&) = delete;
    Iterator& operator=(const Iterator&) = delete;

    bool valid() const { return valid_.load(std::memory_order_acquire); }
    void invalidate() { valid_.store(false, std::memory_order_release); }
    // Sequence number of the entry the iterator stands on (of the head while it stands before it).
    uint32_t position() const { return position_.load(std::memory_order_acquire); }
    Node<T>* current() const { return current_.load(std::memory_order_acquire); }
    // Nothing after the current entry (read by others while the owner moves on).
    bool atEnd() const {
        if (!valid()) return true;
        if (next_.load(std::memory_order_acquire)) return false;
        Node<T>* c = current();
        return c ? c->next.load(std::memory_order_acquire) == nullptr : !list_->headNode();
    }

    // One step: the remembered next entry, else the one after the current, else the head. Null at
    // the end (the iterator stays). Only the iterator's owner calls it.
    Node<T>* advance() {
        if (!valid()) return nullptr;
        Node<T>* c = current_.load(std::memory_order_relaxed);
        Node<T>* n = next_.load(std::memory_order_relaxed);
        if (!n) n = c ? c->next.load(std::memory_order_acquire) : list_->headNode();
        if (!n) return nullptr;
        if (c) position_.store(position_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        current_.store(n, std::memory_order_release);
        next_.store(nullptr, std::memory_order_release);
        return n;
    }

private:
    friend class List<T>;
    std::atomic<bool> valid_{true};
    List<T>* list_;
    std::atomic<bool> registered_{true}; // in the list's table
    std::atomic<Node<T>*> current_;
    std::atomic<Node<T>*> next_;
    std::atomic<uint32_t> position_;
};

template <class T> class List : public Lock {
public:
    List() = default;
    ~List() override { clear(); }

    bool add(T* item, uint32_t size) {
        ScopeLock guard(*this, "List::add");
        auto* node = new (std::nothrow) Node<T>(item, size + kNodeOverhead);
        if (!node) {
            syslogx(LOG_PRIO_ERR, "List<T>::add() failed to create new node.");
            return false;
        }
        append(node, node, 1, node->size);
        return true;
    }

    // Unlinks the head node (null when empty); the caller owns node and item.
    Node<T>* del() {
        ScopeLock guard(*this, "List::del");
        Node<T>* n = head_.load(std::memory_order_relaxed);
        if (!n) return nullptr;
        Node<T>* next = n->next.load(std::memory_order_relaxed);
        head_.store(next, std::memory_order_release);
        if (!next) tail_ = nullptr;
        n->next.store(nullptr, std::memory_order_relaxed);
        --count_;
        ++headSeq_;
        bytes_ -= n->size;
        return n;
    }

    T* first() {
        ScopeLock guard(*this, "List::first");
        Node<T>* n = head_.load(std::memory_order_relaxed);
        return n ? n->item : nullptr;
    }

    // Moves every entry of `src` behind this list's last one (source locked first).
    void appendAndClearSrc(List& src) {
        ScopeLock s(src, "List::concat(src)");
        ScopeLock d(*this, "List::concat(dst)");
        Node<T>* h = src.head_.load(std::memory_order_relaxed);
        if (!h) return;
        append(h, src.tail_, src.count_, src.bytes_);
        src.head_.store(nullptr, std::memory_order_relaxed);
        src.tail_ = nullptr;
        src.count_ = 0;
        src.bytes_ = 0;
    }

    // Cuts the first n entries off into a new list (all when n >= count). Null when nothing was cut
    // or the chain is broken (logged).
    List* removeSublist(uint32_t n) {
        ScopeLock guard(*this, "List::removeSublist");
        if (n == 0 || count_ == 0) return nullptr;
        if (n > count_) n = count_;
        Node<T>* first = head_.load(std::memory_order_relaxed);
        Node<T>* last = first;
        uint64_t bytes = last ? last->size : 0;
        for (uint32_t i = 1; i < n && last; ++i) {
            last = last->next.load(std::memory_order_relaxed);
            if (last) bytes += last->size;
        }
        if (!first || !last) {
            syslogx(LOG_PRIO_ERR, "List::removeSublist(%u) had unexpected NULL ptr (0x%08X / 0x%08X)", n,
                    unsigned(uintptr_t(first)), unsigned(uintptr_t(last)));
            return nullptr;
        }
        auto* cut = new (std::nothrow) List;
        if (!cut) return nullptr;
        Node<T>* rest = last->next.load(std::memory_order_relaxed);
        head_.store(rest, std::memory_order_release);
        if (!rest) tail_ = nullptr;
        last->next.store(nullptr, std::memory_order_relaxed);
        count_ -= n;
        headSeq_ += n;
        bytes_ -= bytes;
        cut->head_.store(first, std::memory_order_relaxed);
        cut->tail_ = last;
        cut->count_ = n;
        cut->bytes_ = bytes;
        return cut;
    }

    // From the head: the iterator stands before the head. From the tail: on the last entry, so it
    // sees only entries added later. Null when 16 iterators exist.
    Iterator<T>* createIterator(const char* name, bool fromTail) {
        ScopeLock guard(*this, name);
        if (iterCount_ >= kMaxIterators) {
            syslogx(LOG_PRIO_ERR, "%s(): Already assigned the maximum number of iterators! %u", name,
                    unsigned(iterCount_));
            return nullptr;
        }
        Iterator<T>* it;
        if (fromTail)
            it = new (std::nothrow)
                Iterator<T>(this, tail_, nullptr, count_ ? headSeq_ + count_ - 1 : headSeq_);
        else
            it = new (std::nothrow)
                Iterator<T>(this, nullptr, head_.load(std::memory_order_relaxed), headSeq_);
        if (it) iters_[iterCount_++] = it;
        return it;
    }

    void removeIterator(Iterator<T>* it) {
        ScopeLock guard(*this, "List::removeIterator");
        for (int i = 0; i < iterCount_; ++i) {
            if (iters_[i] == it) {
                iters_[i] = iters_[--iterCount_];
                iters_[iterCount_] = nullptr;
                it->registered_.store(false);
                return;
            }
        }
    }

    // Destroys every node and item. Registered iterators are invalidated first: they must not follow
    // links into freed nodes.
    void clear() {
        ScopeLock guard(*this, "List::clear()");
        if (iterCount_ != 0) {
            syslogx(LOG_PRIO_WARNING,
                    "List::~List(): Iterator count is not equal to zero, dangling references to this deleted "
                    "list will persist!");
            for (int i = 0; i < iterCount_; ++i) {
                iters_[i]->invalidate();
                iters_[i]->current_.store(nullptr);
                iters_[i]->next_.store(nullptr);
            }
        }
        Node<T>* n = head_.load(std::memory_order_relaxed);
        head_.store(nullptr, std::memory_order_release);
        tail_ = nullptr;
        while (n) {
            Node<T>* next = n->next.load(std::memory_order_relaxed);
            delete n->item;
            delete n;
            n = next;
        }
        headSeq_ += count_;
        count_ = 0;
        bytes_ = 0;
    }

    // Counters, read under the lock.
    uint32_t count() {
        ScopeLock guard(*this, "List::count");
        return count_;
    }
    uint32_t headSeq() {
        ScopeLock guard(*this, "List::headSeq");
        return headSeq_;
    }
    void getMeasValues(uint32_t* bytes, uint32_t* peakBytes, uint32_t* entries, uint32_t* peakEntries) {
        ScopeLock guard(*this, "List::getMeasValues");
        if (bytes) *bytes = uint32_t(bytes_);
        if (peakBytes) *peakBytes = uint32_t(peakBytes_);
        if (entries) *entries = count_;
        if (peakEntries) *peakEntries = peakCount_;
    }
    uint64_t bytes() {
        ScopeLock guard(*this, "List::bytes");
        return bytes_;
    }

    // Hands the items for which `take` is true over to the caller: the list no longer destroys them.
    template <class F> void releaseIf(F take) {
        ScopeLock guard(*this, "List::releaseIf");
        for (Node<T>* n = head_.load(std::memory_order_relaxed); n;
             n = n->next.load(std::memory_order_relaxed))
            if (n->item && take(n->item)) n->item = nullptr;
    }

    // Walks the entries in order under the lock (header replay, tests).
    template <class F> void forEach(F f) {
        ScopeLock guard(*this, "List::forEach");
        for (Node<T>* n = head_.load(std::memory_order_relaxed); n;
             n = n->next.load(std::memory_order_relaxed))
            if (!f(n->item)) break;
    }

protected:
    Node<T>* headNode() const { return head_.load(std::memory_order_acquire); }
    Node<T>* tailNode() const { return tail_; }
    uint32_t countLocked() const { return count_; }
    uint32_t headSeqLocked() const { return headSeq_; }
    uint64_t bytesLocked() const { return bytes_; }
    int iteratorCount() const { return iterCount_; }

private:
    friend class Iterator<T>;

    // Links a chain behind the tail; the link that makes it reachable is published last.
    void append(Node<T>* first, Node<T>* last, uint32_t n, uint64_t bytes) {
        count_ += n;
        bytes_ += bytes;
        if (count_ > peakCount_) peakCount_ = count_;
        if (bytes_ > peakBytes_) peakBytes_ = bytes_;
        Node<T>* tail = tail_;
        tail_ = last;
        if (tail)
            tail->next.store(first, std::memory_order_release);
        else
            head_.store(first, std::memory_order_release);
    }

    std::atomic<Node<T>*> head_{nullptr};
    Node<T>* tail_ = nullptr;
    uint32_t count_ = 0;
    uint32_t peakCount_ = 0;
    uint32_t headSeq_ = 0;
    uint64_t bytes_ = 0;
    uint64_t peakBytes_ = 0;
    int iterCount_ = 0;
    Iterator<T>* iters_[kMaxIterators] = {};
};

} // namespace measure::store
