// The TLS model of the core's hot thread-locals.
//
// initial-exec reads a thread-local at a fixed offset from the thread
// pointer, without the dynamic TLS resolver that a shared library's
// thread-locals otherwise go through. Only glibc lets a shared object built
// that way be loaded with dlopen (it keeps spare static TLS for that); musl
// refuses it ("initial-exec TLS resolves to dynamic definition"), and other
// systems have models of their own. So: initial-exec on glibc, the
// compiler's default everywhere else.
#pragma once

#include <cstdlib>  // defines __GLIBC__ on glibc

#if defined(__GLIBC__)
#define VELK_INITIAL_EXEC_TLS [[gnu::tls_model("initial-exec")]]
#else
#define VELK_INITIAL_EXEC_TLS
#endif
