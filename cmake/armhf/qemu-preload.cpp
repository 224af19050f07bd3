// Preloaded into every ARM program that runs under qemu-arm-static (see armhf-run.sh).
//
// Qt's QProcess starts children through forkfd, which uses clone(CLONE_PIDFD) once
// waitid(P_PIDFD) answers like a Linux 5.4 kernel. qemu-user passes waitid through to the build
// machine's kernel, which knows P_PIDFD, but rejects CLONE_PIDFD itself with EINVAL. QProcess
// then fails to start anything and cleans up with kill(-1, SIGKILL), which as root ends every
// process on the machine. Answering waitid(P_PIDFD) with EINVAL, as a kernel before 5.4 would,
// makes forkfd take its fork() and SIGCHLD path, which qemu emulates.

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif
#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

namespace {

long rawSyscall(long number, long a, long b, long c, long d, long e, long f)
{
    // glibc's own syscall(), the next definition after ours.
    using Fn = long (*)(long, ...);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, a, b, c, d, e, f);
}

} // namespace

extern "C" __attribute__((visibility("default"))) long syscall(long number, ...)
{
    va_list args;
    va_start(args, number);
    long a[6];
    for (long &arg : a)
        arg = va_arg(args, long);
    va_end(args);

    if ((number == SYS_waitid && a[0] == P_PIDFD) ||
        (number == SYS_clone && (a[0] & CLONE_PIDFD))) {
        errno = EINVAL;
        return -1;
    }
    return rawSyscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

// Only the ARM program itself needs this: the build machine's programs it starts (sh, socat)
// would only warn about a library of the wrong class.
__attribute__((constructor)) static void dropPreload()
{
    unsetenv("LD_PRELOAD");
}
