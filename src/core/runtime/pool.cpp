#include "pool.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace hecrypt {

namespace {

// Pieces are cut up front; several per worker keeps them all busy when items
// differ in cost or a core is shared with other work, since a worker that
// finishes early waits at most one piece for the others. A batch of sixteen
// groups of lanes on two workers gets a piece per group: with two groups to
// a piece, a delay of either worker left the other idle for both at the end.
constexpr std::size_t PIECES_PER_WORKER = 8;

thread_local bool on_worker = false;

void run_here(std::size_t len, const PieceFn& piece) {
    if (len > 0) piece(0, len);
}

// One caller's stage. Guarded by the pool's lock, apart from the pieces'
// own work; it lives on the caller's stack until `finished` reaches `pieces`.
struct Stage {
    Stage(const PieceFn& piece, std::size_t len, std::size_t pieces)
        : piece(piece), len(len), pieces(pieces) {}

    const PieceFn& piece;
    std::size_t len;
    std::size_t pieces;
    std::size_t next = 0;
    std::size_t finished = 0;
    std::exception_ptr fault;
    std::condition_variable done;

    std::exception_ptr run(std::size_t k) const noexcept {
        try {
            piece(k * len / pieces, (k + 1) * len / pieces);
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }
};

}  // namespace

struct WorkerPool::Shared {
    std::mutex lock;
    std::condition_variable work;
    std::deque<Stage*> queue;  // stages with pieces not yet taken, oldest first
    bool closing = false;
    std::vector<std::thread> threads;

    void serve() {
        on_worker = true;
        std::unique_lock hold(lock);
        for (;;) {
            work.wait(hold, [this] { return closing || !queue.empty(); });
            if (queue.empty()) return;
            Stage& stage = *queue.front();
            const std::size_t k = stage.next++;
            if (stage.next == stage.pieces) queue.pop_front();
            hold.unlock();
            std::exception_ptr fault = stage.run(k);
            hold.lock();
            if (fault && !stage.fault) stage.fault = std::move(fault);
            // Notified under the lock: the caller cannot return, and free the
            // stage, before this worker has let go of it.
            if (++stage.finished == stage.pieces) stage.done.notify_one();
        }
    }

    void close() {
        {
            std::lock_guard hold(lock);
            closing = true;
        }
        work.notify_all();
        for (auto& thread : threads) thread.join();
    }
};

WorkerPool::WorkerPool(std::size_t workers) : shared_(std::make_unique<Shared>()) {
    try {
        for (std::size_t i = 0; i < std::max<std::size_t>(workers, 1); ++i)
            shared_->threads.emplace_back([shared = shared_.get()] { shared->serve(); });
    } catch (const std::system_error& error) {
        shared_->close();
        throw InternalFault(
            std::string("The global thread pool has not been initialized. A worker thread "
                        "could not be started: ") +
            error.what());
    }
}

WorkerPool::~WorkerPool() { shared_->close(); }

std::size_t WorkerPool::size() const { return shared_->threads.size(); }

void WorkerPool::run_pieces(std::size_t len, const PieceFn& piece, StageStop& stop) {
    // A worker waiting for its own pool's workers could wait forever.
    if (len < 2 || on_worker) return run_here(len, piece);
    Stage stage(piece, len, std::min(len, PIECES_PER_WORKER * size()));
    const auto finished = [&stage] { return stage.finished == stage.pieces; };
    std::unique_lock hold(shared_->lock);
    shared_->queue.push_back(&stage);
    shared_->work.notify_all();
    if (current_checkpoint() == nullptr) {
        stage.done.wait(hold, finished);
    } else {
        while (!stage.done.wait_for(hold, POLL_INTERVAL, finished)) {
            if (stop.interrupted()) continue;
            // Asking may take a lock of the caller's: never with ours held.
            hold.unlock();
            const bool stopping = stop_requested();
            hold.lock();
            if (stopping) stop.interrupt();
        }
    }
    hold.unlock();
    if (stage.fault) std::rethrow_exception(stage.fault);
}

// ---- The process-wide pool

namespace {

// The pool of one process. A child forked after its parent built a pool has
// none of the parent's workers, and the parent's locks may have been held at
// the fork, so the child leaves the parent's record alone and makes its own.
struct ProcessPool {
    explicit ProcessPool(pid_t owner) : owner(owner) {}

    const pid_t owner;
    std::mutex creating;
    WorkerPool* pool = nullptr;  // never destroyed: workers live until exit
};

std::atomic<ProcessPool*> current_process_pool{nullptr};

ProcessPool& own_process_pool() {
    const pid_t self = getpid();
    ProcessPool* record = current_process_pool.load(std::memory_order_acquire);
    while (record == nullptr || record->owner != self) {
        auto* fresh = new ProcessPool(self);
        if (current_process_pool.compare_exchange_strong(record, fresh, std::memory_order_acq_rel))
            return *fresh;
        delete fresh;
    }
    return *record;
}

WorkerPool& global_pool() {
    ProcessPool& process = own_process_pool();
    std::lock_guard hold(process.creating);
    if (process.pool == nullptr) process.pool = new WorkerPool(pool_size());
    return *process.pool;
}

}  // namespace

void run_pieces(std::size_t len, const PieceFn& piece, StageStop& stop) {
    if (len < 2) return run_here(len, piece);
    global_pool().run_pieces(len, piece, stop);
}

// ---- Stage stop

void StageStop::refused(std::size_t i) {
    std::size_t lowest = first_refused_.load(std::memory_order_relaxed);
    while (i < lowest &&
           !first_refused_.compare_exchange_weak(lowest, i, std::memory_order_acq_rel)) {
    }
}

}  // namespace hecrypt
