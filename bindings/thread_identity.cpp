#include "thread_identity.hpp"

#include <cstdint>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif
#endif

namespace zarn {

void current_thread_name(char (&name)[kThreadNameSize]) noexcept {
#if defined(_WIN32)
    // GetThreadDescription is Windows 10's; older systems leave the name.
    using Describe = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    static const auto describe = reinterpret_cast<Describe>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR wide = nullptr;
    if (describe == nullptr || FAILED(describe(::GetCurrentThread(), &wide))) return;
    if (wide[0] != L'\0' &&
        ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, name, static_cast<int>(kThreadNameSize), nullptr, nullptr) == 0) {
        name[kThreadNameSize - 1] = '\0';  // too long: what fitted
    }
    ::LocalFree(wide);
#else
    char got[kThreadNameSize];
    if (pthread_getname_np(pthread_self(), got, sizeof got) == 0 && got[0] != '\0') {
        for (std::size_t i = 0; i < kThreadNameSize; ++i) name[i] = got[i];
    }
#endif
}

long long current_thread_id() noexcept {
#if defined(__linux__)
    // The system call: glibc's gettid (2.30) is newer than the wheels' glibc.
    return ::syscall(SYS_gettid);
#elif defined(_WIN32)
    return static_cast<long long>(::GetCurrentThreadId());
#elif defined(__APPLE__)
    std::uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return static_cast<long long>(id);
#else
    return static_cast<long long>(reinterpret_cast<std::uintptr_t>(pthread_self()));
#endif
}

}  // namespace zarn
