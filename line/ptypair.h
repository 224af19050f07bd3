#ifndef KELVANE_PTYPAIR_H
#define KELVANE_PTYPAIR_H

#include <QLockFile>
#include <QString>

#include <memory>
#include <termios.h>

/// Two pseudo-terminals made by the host itself, with stable names in one folder:
/// DIR/simulator for the plug-in and DIR/client for the user's software. The host holds both
/// masters and relays between them. A lock file in the folder keeps two hosts from sharing
/// it; names left by a host that died are replaced.
class PtyPair
{
public:
    explicit PtyPair(const QString &linkDir);
    /// Calls close().
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    /// Takes the folder's lock, clears stale names and makes the ptys asked for (raw, no echo)
    /// and their names. On false nothing is left behind and errorString() says why.
    bool open(bool simulator = true, bool client = true);
    /// Closes both masters (the ends' readers see a hangup) and removes the names and the lock.
    void close();
    bool isOpen() const { return lock != nullptr; }

    QString simulatorEnd() const;
    QString clientEnd() const;
    QString errorString() const { return error; }

    /// The masters, non-blocking; -1 while the end is gone or was not made.
    int simulatorFd() const { return simulatorMaster; }
    int clientFd() const { return clientMaster; }

    /// The client's device goes away: its master is closed, so that its readers see a hangup,
    /// and DIR/client is removed.
    void hangUpClient();
    /// A new pty under DIR/client after hangUpClient(); false with errorString() on failure.
    bool restoreClient();

    /// The speed the client end is made with (a new one after a hangup too); 115200 unless
    /// set, and for a speed that termios has no code for.
    void setClientBaud(int baud) { clientBaud = baud; }

    /// Whether some process has the slave of this master open.
    static bool isPeerOpen(int masterFd);
    /// The termios code of a speed in baud (B9600 for 9600), or 0 (B0) when it has none.
    static speed_t speedCode(int baud);
    /// The speed in baud of a termios code; 0 for B0 and codes it does not know.
    static int baudOf(speed_t code);

private:
    bool makePty(const QString &link, int baud, int *master);
    bool removeStaleName(const QString &path);
    bool fail(const QString &reason);

    QString dir;
    QString error;
    std::unique_ptr<QLockFile> lock;
    int simulatorMaster = -1;
    int clientMaster = -1;
    int clientBaud = 115200;
};

#endif // KELVANE_PTYPAIR_H
