#pragma once

// Starts identity probes held at a barrier, so that a test can release several of them at the
// same instant, or one of them at a known instant.

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testfiles {

// Probes started with arguments() wait on a fifo that this object keeps open for writing;
// release() closes it and every waiting probe reads its end at once.
class ProbeBarrier {
public:
    ProbeBarrier() : fifo_(dir_.filePath("go")) {
        const QByteArray path = QFile::encodeName(fifo_);
        if (dir_.isValid() && ::mkfifo(path.constData(), 0600) == 0)
            fd_ = ::open(path.constData(), O_RDWR | O_CLOEXEC); // never blocks, unlike O_WRONLY
    }
    ~ProbeBarrier() { release(); }
    ProbeBarrier(const ProbeBarrier&) = delete;
    ProbeBarrier& operator=(const ProbeBarrier&) = delete;

    bool isValid() const { return fd_ >= 0; }
    QStringList arguments() const { return {"--wait-for-go", fifo_}; }

    void release() {
        if (fd_ >= 0)
            ::close(std::exchange(fd_, -1));
    }

private:
    QTemporaryDir dir_;
    QString fifo_;
    int fd_ = -1;
};

// True once the probe has said it waits at the barrier.
inline bool waitUntilReady(QProcess& probe) {
    while (!probe.canReadLine())
        if (!probe.waitForReadyRead(20000))
            return false;
    return probe.readLine() == "ready\n";
}

} // namespace testfiles
