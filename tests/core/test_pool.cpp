#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "core/runtime/interrupt.hpp"
#include "core/runtime/pool.hpp"
#include "fault_text.hpp"

namespace hecrypt {
namespace {

namespace fs = std::filesystem;

struct SizeCase {
    const char* num_threads;
    const char* num_cpus;
    std::size_t expected;  // with a machine of 6 CPUs
};

class PoolSizeRule : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PoolSizeRule, ReadsTheEnvironmentValues) {
    const SizeCase& c = GetParam();
    EXPECT_EQ(pool_size_for(c.num_threads, c.num_cpus, 6), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, PoolSizeRule,
                         ::testing::Values(SizeCase{nullptr, nullptr, 6}, SizeCase{"4", nullptr, 4},
                                           SizeCase{"4", "2", 4}, SizeCase{"0", "2", 6},
                                           SizeCase{"abc", "2", 2}, SizeCase{"-3", "2", 2},
                                           SizeCase{" 4", "2", 2}, SizeCase{"4 ", nullptr, 6},
                                           SizeCase{"", "3", 3}, SizeCase{nullptr, "0", 6},
                                           SizeCase{nullptr, "+2", 6},
                                           SizeCase{"99999999999999999999999", "5", 5}));

struct LimitCase {
    bool v2;
    std::vector<std::pair<std::string, std::string>> files;  // under the mount point
    const char* cgroup;
    std::optional<double> expected;
};

class CgroupLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(CgroupLimit, TakesTheSmallestQuotaOnThePath) {
    const LimitCase& c = GetParam();
    std::string name = (fs::temp_directory_path() / "cgroup-XXXXXX").string();
    ASSERT_NE(mkdtemp(name.data()), nullptr);
    const fs::path mount = name;
    for (const auto& [file, text] : c.files) {
        fs::create_directories((mount / file).parent_path());
        std::ofstream(mount / file) << text;
    }
    EXPECT_EQ(smallest_cpu_limit(mount, c.cgroup, c.v2), c.expected);
    fs::remove_all(mount);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, CgroupLimit,
    ::testing::Values(
        LimitCase{false,
                  {{"cpu.cfs_quota_us", "-1"},
                   {"cpu.cfs_period_us", "100000"},
                   {"a/cpu.cfs_quota_us", "300000"},
                   {"a/cpu.cfs_period_us", "100000"},
                   {"a/b/cpu.cfs_quota_us", "150000"},
                   {"a/b/cpu.cfs_period_us", "100000"}},
                  "/a/b",
                  1.5},
        LimitCase{false,
                  {{"a/cpu.cfs_quota_us", "-1"}, {"a/cpu.cfs_period_us", "100000"}},
                  "/a",
                  std::nullopt},
        LimitCase{
            true, {{"a/cpu.max", "50000 100000"}, {"a/b/cpu.max", "400000 100000"}}, "/a/b", 0.5},
        LimitCase{
            true, {{"a/cpu.max", "250000 100000"}, {"a/b/cpu.max", "max 100000"}}, "/a/b", 2.5},
        LimitCase{true, {{"a/cpu.max", "250000 100000"}}, "/", std::nullopt}));

Outcome<std::size_t> square(std::size_t i) { return i * i; }

void run_stage(WorkerPool& pool, std::size_t len, const PieceFn& piece) {
    StageStop stop;
    pool.run_pieces(len, piece, stop);
}

class OrderedMap : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(OrderedMap, GivesEveryResultOnceInIndexOrder) {
    const auto [workers, len] = GetParam();
    WorkerPool pool(workers);
    std::atomic<std::size_t> calls{0};
    auto results = parallel_map<std::size_t>(pool, len, [&](std::size_t i) {
        ++calls;
        return square(i);
    });
    ASSERT_TRUE(results.ok());
    ASSERT_EQ(results.value().size(), len);
    for (std::size_t i = 0; i < len; ++i) EXPECT_EQ(results.value()[i], i * i);
    EXPECT_EQ(calls, len);
}

INSTANTIATE_TEST_SUITE_P(Sizes, OrderedMap,
                         ::testing::Combine(::testing::Values(1, 2, 5),
                                            ::testing::Values(0, 1, 2, 7, 100)));

class LowestRefusal : public ::testing::TestWithParam<std::size_t> {};

// The refusal reported is the lowest refused item's for every pool size, also
// when a later item is refused long before an earlier one is.
TEST_P(LowestRefusal, IsReportedWhateverTheScheduling) {
    WorkerPool pool(GetParam());
    for (std::size_t run = 0; run < 30; ++run) {
        auto results = parallel_map<int>(pool, 64, [run](std::size_t i) -> Outcome<int> {
            if (i == 60 || i == 61) return refuse("item " + std::to_string(i));
            if (i == 9 + run % 3) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                return refuse("item " + std::to_string(i));
            }
            return static_cast<int>(i);
        });
        ASSERT_FALSE(results.ok());
        EXPECT_EQ(results.refusal(), "item " + std::to_string(9 + run % 3));
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, LowestRefusal, ::testing::Values(1, 2, 16));

TEST(OrderedMap, SkipsWorkPastAKnownRefusal) {
    WorkerPool pool(1);
    std::atomic<std::size_t> calls{0};
    auto results = parallel_map<int>(pool, 100, [&](std::size_t i) -> Outcome<int> {
        ++calls;
        if (i == 3) return refuse("item 3");
        return static_cast<int>(i);
    });
    ASSERT_FALSE(results.ok());
    EXPECT_LT(calls, 100u);
}

// Says stop from its `after`-th question on.
class StopAfter final : public InterruptSource {
  public:
    explicit StopAfter(int after) : after_(after) {}
    bool stop_requested() override { return ++asked_ >= after_; }
    int asked() const { return asked_; }

  private:
    int after_;
    int asked_ = 0;
};

class Interruption : public ::testing::TestWithParam<std::size_t> {};

// A stage of slow items stops soon after the caller says so, whether the
// calling thread waits for the pool or runs the only item itself, and the
// pool serves the next stage as usual.
TEST_P(Interruption, StopsAStageSoonAndLeavesThePoolUsable) {
    const std::size_t len = GetParam();
    WorkerPool pool(2);
    StopAfter source(1);
    const auto started = std::chrono::steady_clock::now();
    {
        InterruptScope scope(source);
        EXPECT_THROW((void)parallel_map<int>(pool, len,
                                             [](std::size_t i) -> Outcome<int> {
                                                 for (int step = 0; step < 1000; ++step) {
                                                     checkpoint();
                                                     std::this_thread::sleep_for(
                                                         std::chrono::milliseconds(1));
                                                 }
                                                 return static_cast<int>(i);
                                             }),
                     Interrupted);
        EXPECT_TRUE(scope.stopped());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(400));
    EXPECT_EQ(source.asked(), 1);
    auto after = parallel_map<std::size_t>(pool, 10, square);
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.value()[9], 81u);
}

INSTANTIATE_TEST_SUITE_P(Items, Interruption, ::testing::Values(1, 2, 40));

TEST(Interruption, ShortCallsNeverAsk) {
    StopAfter source(1);
    InterruptScope scope(source);
    for (int i = 0; i < 1000; ++i) checkpoint();
    EXPECT_EQ(source.asked(), 0);
}

TEST(WorkerPool, CarriesAFaultToTheCallerAfterTheStageAndStaysUsable) {
    WorkerPool pool(3);
    std::vector<int> visited(50, 0);
    const auto faulty_stage = [&] {
        run_stage(pool, visited.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i == 10) throw InternalFault("boom");
                visited[i] = 1;
            }
        });
    };
    EXPECT_EQ(testing::fault_text(faulty_stage), "boom");
    EXPECT_EQ(visited[49], 1);
    auto results = parallel_map<std::size_t>(pool, 30, square);
    ASSERT_TRUE(results.ok());
    EXPECT_EQ(results.value()[29], 29u * 29u);
}

TEST(WorkerPool, SmallStagesStayOnTheCallingThread) {
    WorkerPool pool(2);
    const auto caller = std::this_thread::get_id();
    std::vector<std::thread::id> ran(2);
    auto record = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ran[i] = std::this_thread::get_id();
    };
    run_stage(pool, 1, record);
    EXPECT_EQ(ran[0], caller);
    run_stage(pool, 2, record);
    EXPECT_NE(ran[0], caller);
    EXPECT_NE(ran[1], caller);
}

TEST(WorkerPool, StageStartedByAWorkerRunsInPlace) {
    WorkerPool pool(1);
    std::atomic<std::size_t> items{0};
    run_stage(pool, 2, [&](std::size_t, std::size_t) {
        run_stage(pool, 4, [&](std::size_t begin, std::size_t end) { items += end - begin; });
    });
    EXPECT_EQ(items, 8u);
}

// The parent's workers do not exist in a forked child; waiting on them there
// would never end.
TEST(GlobalPool, ChildOfAForkRunsStages) {
    ASSERT_TRUE(parallel_map<std::size_t>(64, square).ok());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        auto results = parallel_map<std::size_t>(64, square);
        _exit(results.ok() && results.value()[63] == 63u * 63u ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace hecrypt
