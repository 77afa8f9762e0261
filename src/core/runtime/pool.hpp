// The process-wide worker pool and the ordered parallel map over a batch.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

#include "core/support/outcome.hpp"
#include "cpus.hpp"
#include "fault_injection.hpp"
#include "interrupt.hpp"

namespace hecrypt {

using PieceFn = std::function<void(std::size_t, std::size_t)>;

// Shared by the workers of one stage: the lowest refused item so far, and
// whether the caller stopped the call.
class StageStop {
  public:
    // Item i is not worth running once an item before it was refused (its
    // result would be dropped) or once the call was stopped. Items before the
    // lowest refusal always run, so that refusal is the one reported whatever
    // the scheduling.
    bool skips(std::size_t i) const {
        return interrupted() || i > first_refused_.load(std::memory_order_acquire);
    }
    void refused(std::size_t i);
    void interrupt() { interrupted_.store(true, std::memory_order_release); }
    bool interrupted() const { return interrupted_.load(std::memory_order_acquire); }

  private:
    std::atomic<std::size_t> first_refused_{SIZE_MAX};
    std::atomic<bool> interrupted_{false};
};

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
    // stage has ended. While it waits, the calling thread keeps answering its
    // checkpoint: a stop it learns of there is passed on through `stop`.
    void run_pieces(std::size_t len, const PieceFn& piece, StageStop& stop);

  private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

// run_pieces on the process-wide pool, which is created by the first stage of
// two or more items, and created afresh in a child process after fork().
void run_pieces(std::size_t len, const PieceFn& piece, StageStop& stop);

namespace detail {

// The checkpoint of whichever thread runs item i: it stops once the stage no
// longer needs the item, or, on the calling thread, when the caller says so.
class ItemCheckpoint final : public Checkpoint {
  public:
    ItemCheckpoint(const StageStop& stop, std::size_t item, Checkpoint* outer)
        : stop_(stop), item_(item), outer_(outer) {}
    bool stop_requested() override {
        return stop_.skips(item_) || (outer_ != nullptr && outer_->stop_requested());
    }

  private:
    const StageStop& stop_;
    std::size_t item_;
    Checkpoint* outer_;
};

// Slot i of the stage covers the items [i group, (i + 1) group) of a batch
// of `items`; the fault hook counts items, whatever the grouping.
template <class T, class F, class Run>
Outcome<std::vector<T>> ordered_map(Run&& run, std::size_t len, F& f, std::size_t items,
                                    std::size_t group) {
    std::vector<std::optional<Outcome<T>>> slots(len);
    StageStop stop;
    const FaultInjection faults;
    run(len, stop, [&](std::size_t begin, std::size_t end) {
        Checkpoint* const outer = current_checkpoint();
        for (std::size_t i = begin; i < end && !stop.skips(i); ++i) {
            for (std::size_t item = i * group; item < std::min(items, (i + 1) * group); ++item)
                faults.before_item(item);
            ItemCheckpoint here(stop, i, outer);
            const CheckpointScope scope(here);
            try {
                slots[i] = f(i);
            } catch (const Interrupted&) {
                if (outer != nullptr && outer->stop_requested()) stop.interrupt();
                return;
            }
            if (!slots[i]->ok()) return stop.refused(i);
        }
    });
    if (stop.interrupted()) throw Interrupted{};
    // Every item before the lowest refused one ran, so the first slot that is
    // not a result is that refusal.
    std::vector<T> results;
    results.reserve(len);
    for (auto& slot : slots) {
        ensure(slot.has_value(), "a parallel stage stopped without a refusal");
        if (!slot->ok()) return slot->take_refusal();
        results.push_back(std::move(slot->value()));
    }
    return results;
}

}  // namespace detail

// f(i) -> Outcome<T> for every i in [0, len), in parallel; the results in
// index order, or the refusal of the lowest refused item.
template <class T, class F>
Outcome<std::vector<T>> parallel_map(std::size_t len, F&& f) {
    return detail::ordered_map<T>(
        [](std::size_t n, StageStop& stop, const PieceFn& piece) { run_pieces(n, piece, stop); },
        len, f, len, 1);
}

// The same over groups of `group` consecutive items, for work that is
// cheaper done for several items at once: f(begin, end) -> Outcome of the
// results of the items [begin, end), or of the refusal of the lowest refused
// among them (the items after it need not run). The results in index order,
// or the refusal of the lowest refused item.
template <class T, class F>
Outcome<std::vector<T>> parallel_map_groups(std::size_t len, std::size_t group, F&& f) {
    ensure(group > 0, "a group has at least one item");
    auto slot = [&](std::size_t i) { return f(i * group, std::min(len, (i + 1) * group)); };
    Outcome<std::vector<std::vector<T>>> groups = detail::ordered_map<std::vector<T>>(
        [](std::size_t n, StageStop& stop, const PieceFn& piece) { run_pieces(n, piece, stop); },
        (len + group - 1) / group, slot, len, group);
    if (!groups.ok()) return groups.take_refusal();
    std::vector<T> results;
    results.reserve(len);
    for (std::vector<T>& g : groups.value()) std::ranges::move(g, std::back_inserter(results));
    ensure(results.size() == len, "a group returned the wrong number of results");
    return results;
}

// The same on a given pool.
template <class T, class F>
Outcome<std::vector<T>> parallel_map(WorkerPool& pool, std::size_t len, F&& f) {
    return detail::ordered_map<T>(
        [&pool](std::size_t n, StageStop& stop, const PieceFn& piece) {
            pool.run_pieces(n, piece, stop);
        },
        len, f, len, 1);
}

}  // namespace hecrypt
