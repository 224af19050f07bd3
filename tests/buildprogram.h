// The build's own programs (the host runner, the scope) run from a test.
//
// The ARMv7 build runs its tests under qemu-arm-static, and the build machine's kernel cannot
// start an ARM program by itself: the test wrapper then names the emulator in KELVANE_EMULATOR,
// and the program is started as its first argument. Programs of the build machine (gpsd)
// are started as usual.

#pragma once

#include "pty.h"

#include <QProcess>
#include <QStringList>

/// A program of this build in a child process (its working folder and environment set on process
/// before start()), through $KELVANE_EMULATOR when it is set; its output is collected as it
/// comes, and every wait ends after deadlineMs (which only bounds a failing wait: an emulated
/// program starts slowly). Killed at the end if still running.
struct BuildProgram
{
    explicit BuildProgram(int deadlineMs) : deadline(deadlineMs)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError,
                         [this] { err += process.readAllStandardError(); });
    }
    void start(const QString &program, const QStringList &arguments)
    {
        const QString emulator = qEnvironmentVariable("KELVANE_EMULATOR");
        if (emulator.isEmpty())
            process.start(program, arguments);
        else
            process.start(emulator, QStringList(program) + arguments);
    }
    ~BuildProgram()
    {
        process.kill();
        process.waitForFinished(deadline);
    }

    /// Waits until text is in bytes (out or err) count times, or the program has ended.
    bool wait(const QByteArray &bytes, const QByteArray &text, int count = 1)
    {
        waitFor([&] { return bytes.count(text) >= count || !running(); }, deadline);
        return bytes.count(text) >= count;
    }
    /// Ended (by itself or by a signal it handles) with the given exit code.
    bool exited(int code = 0)
    {
        return waitFor([&] { return !running(); }, deadline) &&
            process.exitStatus() == QProcess::NormalExit && process.exitCode() == code;
    }
    bool running() const { return process.state() != QProcess::NotRunning; }
    /// Writes a line to its standard input.
    bool send(const QByteArray &line) { return process.write(line + '\n') > 0; }

    const int deadline;
    QProcess process;
    QByteArray out;
    QByteArray err;
};
