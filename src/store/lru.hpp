// Entries by key, each with the bytes it holds, dropped least recently used first once their
// bytes pass a bound. Not thread-safe: its owner locks.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

namespace korvalle::store {

template <class Value>
class BoundedLru {
public:
    // dropped, when given, is told of each value that leaves, whichever way (evicted, replaced,
    // erased), before it goes; under the owner's lock, as every call here is.
    using Dropped = std::function<void(const Value&)>;

    explicit BoundedLru(std::uint64_t max_bytes, Dropped dropped = nullptr)
        : max_bytes_(max_bytes), dropped_(std::move(dropped)) {}

    // The entry's value, or null; does not count as a use.
    const Value* find(const std::string& key) const {
        const auto entry = entries_.find(key);
        return entry == entries_.end() ? nullptr : &entry->second.value;
    }

    // Marks the entry as the most recently used, when its value is still this one (another
    // caller may have replaced it meanwhile; the newer one keeps its place).
    void touch(const std::string& key, const Value& value) {
        const auto entry = entries_.find(key);
        if (entry != entries_.end() && entry->second.value == value) {
            recent_.splice(recent_.begin(), recent_, entry->second.recent);
        }
    }

    // Puts the value in place of any other under the key as the most recently used, then drops
    // entries from the least recently used end until the bound holds. True when it stays.
    bool put(const std::string& key, Value value, std::uint64_t bytes) {
        erase(key);
        recent_.push_front(key);
        entries_.emplace(key, Entry{std::move(value), bytes, recent_.begin()});
        bytes_ += bytes;
        while (bytes_ > max_bytes_ && !recent_.empty()) erase(recent_.back());
        return entries_.contains(key);
    }

    // Sets the bytes of the entry, when its value is still this one, then drops entries from
    // the least recently used end until the bound holds.
    void resize(const std::string& key, const Value& value, std::uint64_t bytes) {
        const auto entry = entries_.find(key);
        if (entry == entries_.end() || entry->second.value != value) return;
        bytes_ = bytes_ - entry->second.bytes + bytes;
        entry->second.bytes = bytes;
        while (bytes_ > max_bytes_ && !recent_.empty()) erase(recent_.back());
    }

    void erase(const std::string& key) {
        const auto entry = entries_.find(key);
        if (entry == entries_.end()) return;
        if (dropped_) dropped_(entry->second.value);
        bytes_ -= entry->second.bytes;
        recent_.erase(entry->second.recent);
        entries_.erase(entry);
    }

    // Drops every entry whose key keep(key) refuses.
    template <class Keep>
    void erase_unless(Keep keep) {
        for (auto entry = entries_.begin(); entry != entries_.end();) {
            const auto next = std::next(entry);
            if (!keep(entry->first)) erase(entry->first);
            entry = next;
        }
    }

    std::size_t size() const { return entries_.size(); }
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t max_bytes() const { return max_bytes_; }

private:
    struct Entry {
        Value value;
        std::uint64_t bytes = 0;
        std::list<std::string>::iterator recent;  // its place in recent_
    };

    const std::uint64_t max_bytes_;
    const Dropped dropped_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> recent_;  // keys, most recently used first
    std::uint64_t bytes_ = 0;
};

}  // namespace korvalle::store
