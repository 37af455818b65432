// Thread-exit destructors on a glibc without __cxa_thread_atexit_impl
// (before 2.18), where old_glibc.cpp keeps each thread's destructors itself.
// This program finds no such function (its dlsym finds nothing), so every
// thread_local destructor goes through that list: each must run once when
// its thread ends, newest first, including one registered while the list
// runs.
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

extern "C" void* dlsym(void*, const char*) { return nullptr; }

namespace {

constexpr int kThreads = 8;
std::atomic<int> g_ran{0};
std::atomic<int> g_out_of_order{0};
std::atomic<int> g_late{0};

struct Late {
    ~Late() { ++g_late; }
};

// Built in order first, second; destroyed second, then first.
template <int Order>
struct Probe {
    int touched = 0;
    ~Probe();
};
thread_local Probe<1> t_first;
thread_local Probe<2> t_second;
thread_local int t_destroyed = 0;

template <int Order>
Probe<Order>::~Probe() {
    ++g_ran;
    if (Order != 2 - t_destroyed++) ++g_out_of_order;
    if (Order == 1) {
        thread_local Late late;  // registered while the thread's list runs
        (void)&late;
    }
}

}  // namespace

int main() {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([] { t_first.touched = t_second.touched = 1; });
    for (std::thread& t : threads) t.join();
    std::printf("destructors run %d (of %d), out of order %d, registered late and run %d (of %d)\n",
                g_ran.load(), 2 * kThreads, g_out_of_order.load(), g_late.load(), kThreads);
    return g_ran == 2 * kThreads && g_out_of_order == 0 && g_late == kThreads ? 0 : 1;
}
