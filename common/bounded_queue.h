#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

// Hands items from one thread to another. Holds at most `capacity` items; a push beyond that is refused, never
// waited for. The mutex guards nothing outside the queue.
template <typename Item> class BoundedQueue {
public:
    explicit BoundedQueue(std::size_t capacity) : capacity(capacity) {}

    // False when the queue is full or closed.
    bool Push(Item item) {
        {
            const std::lock_guard lock(mutex);
            if (closed || items.size() >= capacity)
                return false;
            items.push_back(std::move(item));
        }
        ready.notify_one();
        return true;
    }

    // Waits for an item; nothing once the queue is closed.
    std::optional<Item> Pop() {
        std::unique_lock lock(mutex);
        ready.wait(lock, [this] { return closed || !items.empty(); });
        if (closed)
            return std::nullopt;
        Item item = std::move(items.front());
        items.pop_front();
        return item;
    }

    // Waits for an item at most `wait`; nothing when none came or the queue is closed.
    std::optional<Item> PopFor(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex);
        if (!ready.wait_for(lock, wait, [this] { return closed || !items.empty(); }) || closed)
            return std::nullopt;
        Item item = std::move(items.front());
        items.pop_front();
        return item;
    }

    bool IsClosed() {
        const std::lock_guard lock(mutex);
        return closed;
    }

    // Moves every waiting item into `out`, without waiting.
    void TakeAll(std::vector<Item>& out) {
        const std::lock_guard lock(mutex);
        for (Item& item : items)
            out.push_back(std::move(item));
        items.clear();
    }

    // Drops what is waiting and refuses what comes; wakes every Pop.
    void Close() {
        {
            const std::lock_guard lock(mutex);
            closed = true;
            items.clear();
        }
        ready.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Item> items;
    const std::size_t capacity;
    bool closed = false;
};
