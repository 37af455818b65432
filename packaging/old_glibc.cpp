// What the module needs of glibc that glibc 2.17 lacks, for wheels linked
// against glibc 2.17's symbols (ZARN_OLD_GLIBC). Built only into those.
//
// The static C++ runtime was compiled against this machine's newer glibc, so
// its objects name four symbols that older systems do not have. Each one is
// defined here, hidden, so the link resolves it inside the module and the
// wheel asks the system for none of them:
// - __libc_single_threaded (2.32): 0 says "maybe threads", so reference
//   counts stay atomic, which is always correct.
// - getentropy (2.25) and arc4random (2.36): only std::random_device calls
//   them, which the module never uses; they are correct all the same.
// - __cxa_thread_atexit_impl (2.18): the thread-exit destructors of
//   thread_local objects. Forwarded to glibc's own where it has one;
//   otherwise each thread keeps its destructors in a list behind a pthread
//   key, which runs them when the thread ends.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#define ZARN_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

ZARN_HIDDEN char __libc_single_threaded = 0;

ZARN_HIDDEN int getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (size_t done = 0; done < length;) {
        const long n = syscall(SYS_getrandom, bytes + done, length - done, 0u);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}

ZARN_HIDDEN uint32_t arc4random(void) {
    uint32_t value = 0;
    if (getentropy(&value, sizeof value) != 0) abort();  // as glibc's does without a source
    return value;
}

}  // extern "C"

namespace {

using ThreadAtexit = int (*)(void (*)(void*), void*, void*);

struct ExitCall {
    void (*destructor)(void*);
    void* object;
    ExitCall* next;
};

pthread_key_t g_exit_calls;
pthread_once_t g_exit_calls_once = PTHREAD_ONCE_INIT;
int g_exit_calls_error = 0;

// Runs a thread's destructors, newest first, including any they register.
void run_exit_calls(void* list) {
    for (auto* call = static_cast<ExitCall*>(list); call != nullptr;) {
        call->destructor(call->object);
        ExitCall* const next = call->next;
        free(call);
        call = next;
        if (call == nullptr) {
            call = static_cast<ExitCall*>(pthread_getspecific(g_exit_calls));
            pthread_setspecific(g_exit_calls, nullptr);
        }
    }
}

void make_exit_calls_key() { g_exit_calls_error = pthread_key_create(&g_exit_calls, run_exit_calls); }

ThreadAtexit glibc_thread_atexit() {
    static const ThreadAtexit found =
        reinterpret_cast<ThreadAtexit>(dlsym(RTLD_DEFAULT, "__cxa_thread_atexit_impl"));
    return found;
}

}  // namespace

extern "C" ZARN_HIDDEN int __cxa_thread_atexit_impl(void (*destructor)(void*), void* object, void* dso) {
    if (const ThreadAtexit glibc = glibc_thread_atexit()) return glibc(destructor, object, dso);
    if (pthread_once(&g_exit_calls_once, make_exit_calls_key) != 0 || g_exit_calls_error != 0) return -1;
    auto* call = static_cast<ExitCall*>(malloc(sizeof(ExitCall)));
    if (call == nullptr) return -1;
    *call = {destructor, object, static_cast<ExitCall*>(pthread_getspecific(g_exit_calls))};
    if (pthread_setspecific(g_exit_calls, call) != 0) {
        free(call);
        return -1;
    }
    return 0;
}
