#ifndef KELVANE_PTYPAIR_H
#define KELVANE_PTYPAIR_H

#include <QLockFile>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

/// A pair of connected pseudo-terminals made by socat, with stable names in one folder:
/// DIR/simulator for the plug-in and DIR/client for the user's software. A lock file in the
/// folder keeps two hosts from sharing it; names left by a host that died are replaced.
class PtyPair : public QObject
{
    Q_OBJECT

public:
    explicit PtyPair(const QString &linkDir, QObject *parent = nullptr);
    /// Calls close().
    ~PtyPair() override;

    /// socat's path found in PATH, or an empty string.
    static QString socatProgram();
    /// begin(), then waitUntilReady(timeoutMs).
    bool open(int timeoutMs = 5000);
    /// Takes the folder's lock, clears stale names and starts socat without waiting for it.
    /// On false nothing is left running and errorString() says why.
    bool begin();
    /// Waits, at most timeoutMs, until both ends exist. On false socat is ended, the names and
    /// the lock are removed and errorString() says why.
    bool waitUntilReady(int timeoutMs = 5000);
    /// Ends socat and removes both names and the lock; does nothing when nothing was begun.
    void close();
    bool isOpen() const { return opened; }

    QString simulatorEnd() const;
    QString clientEnd() const;
    QString errorString() const { return error; }

signals:
    /// socat ended while the pair was open; the ends are gone.
    void lost(const QString &reason);

private:
    bool removeStaleName(const QString &path);
    bool fail(const QString &reason);
    void drainLog();

    QString dir;
    QString error;
    QStringList socatLog;
    std::unique_ptr<QLockFile> lock;
    std::unique_ptr<QProcess> socat;
    bool opened = false;
};

#endif // KELVANE_PTYPAIR_H
