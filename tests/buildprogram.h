// Starting the build's own programs (the host runner, the scope, helper processes, the test
// itself) from a test.
//
// The ARMv7 build runs its tests under qemu-arm-static, and the build machine's kernel cannot
// start an ARM program by itself: the test wrapper then names the emulator in KELVANE_EMULATOR,
// and the program is started as its first argument. Programs of the build machine (sh, socat)
// are started as usual.

#pragma once

#include <QProcess>
#include <QStringList>

/// Starts \a program of this build with \a arguments, through $KELVANE_EMULATOR when it is set.
inline void startBuildProgram(QProcess &process, const QString &program,
                              const QStringList &arguments = {},
                              QIODevice::OpenMode mode = QIODevice::ReadWrite)
{
    const QString emulator = qEnvironmentVariable("KELVANE_EMULATOR");
    if (emulator.isEmpty())
        process.start(program, arguments, mode);
    else
        process.start(emulator, QStringList(program) + arguments, mode);
}
