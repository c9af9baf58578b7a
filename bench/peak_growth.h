#pragma once

#include <QtGlobal>

#include <optional>

namespace vorlund::test {

// The process's resident memory now.
qint64 residentBytes();

// How far the process's resident memory peaked above what it held when this was made.
class PeakGrowth {
public:
    // Gives memory freed earlier back to the system first, or what follows could reuse it
    // unseen, then starts a new peak at the current size.
    PeakGrowth();

    // Absent where the kernel does not allow restarting the peak.
    std::optional<qint64> bytes() const;

private:
    bool restarted_;
    qint64 before_;
};

} // namespace vorlund::test
