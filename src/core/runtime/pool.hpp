// The process-wide worker pool and the ordered parallel map over a batch.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../outcome.hpp"
#include "cpus.hpp"
#include "fault_injection.hpp"

namespace hecrypt {

using PieceFn = std::function<void(std::size_t, std::size_t)>;

// A fixed set of worker threads running stages of pieces. The process-wide
// pool is one of these that is never destroyed; tests make their own sizes.
class WorkerPool {
  public:
    // Throws InternalFault when a worker thread cannot be started.
    explicit WorkerPool(std::size_t workers);
    // Joins the workers; no stage may be running.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const;

    // Runs piece(begin, end) over consecutive slices covering [0, len) and
    // returns when every piece has ended. A stage of fewer than two items, or
    // one started from a worker of a pool, runs on the calling thread. The
    // first exception thrown by a piece is rethrown here, after the whole
    // stage has ended.
    void run_pieces(std::size_t len, const PieceFn& piece);

  private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

// run_pieces on the process-wide pool, which is created by the first stage of
// two or more items, and created afresh in a child process after fork().
void run_pieces(std::size_t len, const PieceFn& piece);

// Stop flag and refusal slot shared by the workers of one stage.
class StageStop {
  public:
    bool stopped() const { return stop_.load(std::memory_order_acquire); }
    // Keeps the first message that gets the slot; later ones are dropped. The
    // slot's lock is only tried: a worker finding it taken drops its message,
    // since the holder is storing one.
    void refuse(std::string message);
    std::optional<std::string> take_refusal() { return std::move(refusal_); }

  private:
    std::atomic<bool> stop_{false};
    std::mutex slot_lock_;
    std::optional<std::string> refusal_;
};

namespace detail {

template <class T, class F, class Run>
Outcome<std::vector<T>> ordered_map(Run&& run, std::size_t len, F& f) {
    std::vector<std::optional<T>> slots(len);
    StageStop stop;
    const FaultInjection faults;
    run(len, [&](std::size_t begin, std::size_t end) {
        if (stop.stopped()) return;
        for (std::size_t i = begin; i < end; ++i) {
            faults.before_item(i);
            Outcome<T> item = f(i);
            if (!item.ok()) return stop.refuse(item.take_refusal().message);
            if (stop.stopped()) return;
            slots[i].emplace(std::move(item.value()));
        }
    });
    if (auto refusal = stop.take_refusal()) return refuse(std::move(*refusal));
    std::vector<T> results;
    results.reserve(len);
    for (auto& slot : slots) {
        ensure(slot.has_value(), "a parallel stage stopped without a refusal");
        results.push_back(std::move(*slot));
    }
    return results;
}

}  // namespace detail

// f(i) -> Outcome<T> for every i in [0, len), in parallel; the results in
// index order, or the refusal that reached the slot first.
template <class T, class F>
Outcome<std::vector<T>> parallel_map(std::size_t len, F&& f) {
    return detail::ordered_map<T>([](std::size_t n, const PieceFn& piece) { run_pieces(n, piece); },
                                  len, f);
}

// The same on a given pool.
template <class T, class F>
Outcome<std::vector<T>> parallel_map(WorkerPool& pool, std::size_t len, F&& f) {
    return detail::ordered_map<T>(
        [&pool](std::size_t n, const PieceFn& piece) { pool.run_pieces(n, piece); }, len, f);
}

}  // namespace hecrypt
