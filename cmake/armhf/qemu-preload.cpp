// Preloaded into every ARM program that runs under qemu-arm-static (see armhf-run.sh). It makes
// two things work there that the tests rely on.
//
// QProcess: Qt starts children through forkfd, which uses clone(CLONE_PIDFD) once
// waitid(P_PIDFD) answers like a Linux 5.4 kernel. qemu-user passes waitid through to the build
// machine's kernel, which knows P_PIDFD, but rejects CLONE_PIDFD itself with EINVAL. QProcess
// then fails to start anything and cleans up with kill(-1, SIGKILL), which as root ends every
// process on the machine. Answering waitid(P_PIDFD) with EINVAL, as a kernel before 5.4 would,
// makes forkfd take its fork() and SIGCHLD path, which qemu emulates.
//
// ARM children: the build machine's kernel has no binfmt_misc handler for ARM programs, so
// execve() of one fails with ENOEXEC. execv() and execve() of an ARM program start it through
// the same qemu, sysroot and preload instead; other programs (sh, socat) start as usual.

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif
#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

namespace {

// What armhf-run.sh hands to qemu, read once at load: the child of a fork() may not allocate.
struct Emulation
{
    char qemu[4096] = {};
    char sysroot[4096] = {};
    char environment[4096] = {};
};
Emulation emulation;

void copyVariable(char (&to)[4096], const char *name)
{
    const char *value = getenv(name);
    if (value && strlen(value) < sizeof to)
        strcpy(to, value);
}

template<typename Fn> Fn next(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// Whether the kernel would start \a path as an ARM program. qemu -L looks up an absolute path in
// the sysroot first, but execve() and qemu itself take it from the build machine's root, where
// /bin/sh is the build machine's own: read the file by a relative path, which qemu leaves alone.
bool isArmProgram(const char *path)
{
    char relative[8192];
    if (path[0] == '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd))
            return false;
        size_t n = 0;
        for (const char *c = cwd; *c; ++c) {
            if (*c == '/' && n + 3 < sizeof relative) {
                memcpy(relative + n, "../", 3);
                n += 3;
            }
        }
        if (n + strlen(path) >= sizeof relative)
            return false;
        strcpy(relative + n, path + 1);
        path = relative;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char header[20];
    const ssize_t length = read(fd, header, sizeof header);
    close(fd);
    // 32-bit little-endian ELF for machine 40 (EM_ARM).
    return length == ssize_t(sizeof header) && memcmp(header, "\177ELF", 4) == 0 &&
        header[4] == 1 && header[5] == 1 && (header[18] | header[19] << 8) == 40;
}

using Execve = int (*)(const char *, char *const[], char *const[]);

int execThroughQemu(const char *path, char *const argv[], char *const envp[])
{
    static const Execve realExecve = next<Execve>("execve");
    if (emulation.qemu[0] == '\0' || !isArmProgram(path))
        return realExecve(path, argv, envp);

    // qemu [-L sysroot] [-E LD_PRELOAD=...] -0 argv[0] path argv[1..]; on the stack only.
    const int MaxArguments = 1024;
    const char *arguments[MaxArguments + 10];
    int n = 0;
    arguments[n++] = emulation.qemu;
    if (emulation.sysroot[0] != '\0') {
        arguments[n++] = "-L";
        arguments[n++] = emulation.sysroot;
    }
    if (emulation.environment[0] != '\0') {
        arguments[n++] = "-E";
        arguments[n++] = emulation.environment;
    }
    arguments[n++] = "-0";
    arguments[n++] = argv[0] ? argv[0] : path;
    arguments[n++] = path;
    for (int i = 1; argv[0] && argv[i]; ++i) {
        if (n == MaxArguments + 9) {
            errno = E2BIG;
            return -1;
        }
        arguments[n++] = argv[i];
    }
    arguments[n] = nullptr;
    return realExecve(emulation.qemu, const_cast<char *const *>(arguments), envp);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) long syscall(long number, ...)
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
    // glibc's own syscall(), the next definition after this one.
    using Syscall = long (*)(long, ...);
    static const Syscall real = next<Syscall>("syscall");
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

__attribute__((visibility("default"))) int execve(const char *path, char *const argv[],
                                                  char *const envp[])
{
    return execThroughQemu(path, argv, envp);
}

__attribute__((visibility("default"))) int execv(const char *path, char *const argv[])
{
    return execThroughQemu(path, argv, environ);
}

} // extern "C"

// Only the ARM program itself needs the preload: the build machine's programs it starts would
// only warn about a library of the wrong class. ARM children get it back through qemu's -E.
__attribute__((constructor)) static void setUp()
{
    copyVariable(emulation.qemu, "KELVANE_EMULATOR");
    copyVariable(emulation.sysroot, "QEMU_LD_PREFIX");
    copyVariable(emulation.environment, "QEMU_SET_ENV");
    unsetenv("LD_PRELOAD");
}
