#include "peak_growth.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <malloc.h>

namespace vorlund::test {

namespace {

// A field of /proc/self/status given in kB, in bytes; 0 when absent.
qint64 statusField(const QByteArray& name) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong() * 1024;
    return 0;
}

bool restartPeak() {
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

} // namespace

qint64 residentBytes() {
    return statusField("VmRSS");
}

PeakGrowth::PeakGrowth() {
    malloc_trim(0);
    restarted_ = restartPeak();
    before_ = statusField("VmRSS");
}

std::optional<qint64> PeakGrowth::bytes() const {
    if (!restarted_)
        return std::nullopt;
    return statusField("VmHWM") - before_;
}

} // namespace vorlund::test
