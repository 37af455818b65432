// Several threads running `run` on one shared Machine: how statement
// throughput scales from 1 to 2 threads.
//
// Rows (each thread runs lists of kStatements statements):
//   disjoint    - thread i runs `xi = xi + 1`: threads meet in the store only
//                 when their names land in the same shard;
//   shared      - every thread runs `x = x + 1`: one shard lock, one slot and
//                 one value's reference count for all. Each statement is a
//                 read then a write, so concurrent increments may be lost
//                 (counted in `lost_updates`); every single read and write
//                 stays consistent;
//   read_mostly - thread i runs `yi = x + 1`: a shared read, a private write;
//   private_machines - the control: every thread runs `x = x + 1` on a
//                 machine of its own, so nothing of the store is shared. What
//                 it loses at 2 threads is the host's (caches, allocator,
//                 neighbours), not the store's.
//
// Items are statements, summed over threads, against wall time: perfect
// scaling doubles items_per_second at 2 threads.
//
// `run` drops the list it is handed, so every timed iteration needs a
// fresh list, built outside the timed region. Each thread builds a batch of
// kBatchLists lists before the timed loop and refills it when used up. A
// refill pauses the timers and is fenced by a barrier on both sides, so no
// thread runs timed work while another builds (that would run uncontended
// and flatter the 2-thread rows). Google Benchmark gives every thread the
// same iteration count, so all threads refill at the same iterations.
//
// The Machine and the barrier are made by the Setup hook, before any
// benchmark thread starts, and dropped by Teardown after all have ended.
// Teardown also empties the main thread's block caches: after the 2-thread
// shared row they hold blocks freed for the other thread, and without the
// flush every later run on the main thread was 1.2 to 4 times slower.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <barrier>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velk/block_pool.hpp"
#include "velk/eval.hpp"
#include "velk/siphash.hpp"

namespace {

using namespace velk;

constexpr int kStatements = 10'000;  // statements per list (one iteration)
constexpr std::int64_t kBatchLists = 8;  // lists built per refill
static_assert(kBatchLists >= 4,
              "refills (a pause and two barriers each) must be rare next to the timed lists");

enum class Row { Disjoint, Shared, ReadMostly, Private };

std::unique_ptr<Machine> g_machine;         // the one machine of the current run
std::unique_ptr<std::barrier<>> g_refill;   // fences the batch refills of all threads

Identifier own(const char* prefix, int thread) { return Identifier::s(prefix + std::to_string(thread)); }
Identifier shared_x() { return Identifier::s("x"); }

Expr plus_one(Identifier source) {
    return Expr::binary_op(Expr::ident(std::move(source)), BinaryOperator::Add,
                           Expr::literal(Value::number(Number::from_int(1))));
}

Statement statement(Row row, int thread) {
    switch (row) {
        case Row::Disjoint:
            return Statement::let(own("x", thread), plus_one(own("x", thread)));
        case Row::Shared:
        case Row::Private:
            return Statement::let(shared_x(), plus_one(shared_x()));
        case Row::ReadMostly:
            return Statement::let(own("y", thread), plus_one(shared_x()));
    }
    return Statement::let(shared_x(), plus_one(shared_x()));
}

StatementList program(Row row, int thread) {
    StatementList list;
    list.reserve(kStatements);
    for (int i = 0; i < kStatements; ++i) list.push_back(statement(row, thread));
    return list;
}

// Up to kBatchLists lists, never more than the iterations left to run.
std::vector<StatementList> batch(Row row, int thread, std::int64_t iterations_left) {
    std::vector<StatementList> lists;
    const std::int64_t n = std::min(kBatchLists, iterations_left);
    lists.reserve(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) lists.push_back(program(row, thread));
    return lists;
}

std::int64_t int_of(const Machine& machine, const Identifier& id) {
    return machine.get(id)->as_number().as_int();
}

Statement zero(Identifier id) {
    return Statement::let(std::move(id), Expr::literal(Value::number(Number::from_int(0))));
}

// Every variable a row reads starts at 0, on a fresh machine per run.
void make_machine(const benchmark::State& state) {
    g_machine = std::make_unique<Machine>();
    g_refill = std::make_unique<std::barrier<>>(state.threads());
    StatementList seed;
    seed.push_back(zero(shared_x()));
    for (int t = 0; t < state.threads(); ++t) seed.push_back(zero(own("x", t)));
    velk::run(*g_machine, std::move(seed));
}

// Whether the names of a run meet in one shard by chance (the hash key is
// fresh per machine): any two threads' written names, or, in read_mostly, a
// written name and x. Only meaningful with more than one thread.
bool shards_clash(const Machine& machine, Row row, int threads) {
    std::vector<std::size_t> shards;
    if (row == Row::ReadMostly) shards.push_back(machine.shard_of(shared_x()));
    for (int t = 0; t < threads; ++t)
        shards.push_back(machine.shard_of(own(row == Row::ReadMostly ? "y" : "x", t)));
    std::sort(shards.begin(), shards.end());
    return std::adjacent_find(shards.begin(), shards.end()) != shards.end();
}

void drop_machine(const benchmark::State&) {
    g_refill.reset();
    g_machine.reset();
    release_cached_blocks();
}

void run(benchmark::State& state, Row row) {
    const int thread = state.thread_index();
    std::unique_ptr<Machine> mine;  // the Private row's machine
    if (row == Row::Private) {
        mine = std::make_unique<Machine>();
        StatementList seed;
        seed.push_back(zero(shared_x()));
        velk::run(*mine, std::move(seed));
    }
    const Machine& machine = mine ? *mine : *g_machine;
    // Start values: no thread writes before the loop's start barrier.
    const std::int64_t own_start = int_of(*g_machine, own("x", thread));
    const std::int64_t shared_start = int_of(*g_machine, shared_x());

    std::vector<StatementList> lists = batch(row, thread, state.max_iterations);
    std::size_t next = 0;
    std::int64_t done = 0;
    for (auto _ : state) {
        if (next == lists.size()) {
            state.PauseTiming();
            g_refill->arrive_and_wait();
            lists = batch(row, thread, state.max_iterations - done);
            next = 0;
            g_refill->arrive_and_wait();
            state.ResumeTiming();
        }
        velk::run(machine, std::move(lists[next++]));
        ++done;
    }
    state.SetItemsProcessed(state.iterations() * kStatements);

    // Every thread has left the loop here: the store is quiet.
    const std::int64_t own_runs = state.iterations() * kStatements;
    if (row == Row::Disjoint && int_of(machine, own("x", thread)) - own_start != own_runs)
        state.SkipWithError("a private counter lost increments");
    if (row == Row::Private && int_of(machine, shared_x()) != own_runs)
        state.SkipWithError("a private machine lost increments");
    if (row == Row::Shared && thread == 0) {
        const std::int64_t total = own_runs * state.threads();
        const std::int64_t gained = int_of(machine, shared_x()) - shared_start;
        if (gained < 1 || gained > total) state.SkipWithError("the shared counter is out of range");
        state.counters["lost_updates"] = static_cast<double>(total - gained);
    }
    if ((row == Row::Disjoint || row == Row::ReadMostly) && thread == 0 && state.threads() > 1)
        state.counters["shard_clash"] = shards_clash(machine, row, state.threads()) ? 1 : 0;
}

void configure(benchmark::internal::Benchmark* b) {
    b->Setup(make_machine)->Teardown(drop_machine)->Threads(1)->Threads(2)->UseRealTime()->Unit(
        benchmark::kMicrosecond);
}

BENCHMARK_CAPTURE(run, disjoint, Row::Disjoint)->Apply(configure);
BENCHMARK_CAPTURE(run, shared, Row::Shared)->Apply(configure);
BENCHMARK_CAPTURE(run, read_mostly, Row::ReadMostly)->Apply(configure);
BENCHMARK_CAPTURE(run, private_machines, Row::Private)->Apply(configure);

}  // namespace

BENCHMARK_MAIN();
