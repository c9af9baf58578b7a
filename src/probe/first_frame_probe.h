#pragma once

#include <functional>

class QQuickWindow;

namespace vorlund {

// The environment variable under which the program runs this hook; the start-up benchmark sets
// it. Unset, the program pays one look-up for it.
inline constexpr char firstFrameProbeVariable[] = "VORLUND_REPORT_FIRST_FRAME";

// A measurement hook for the start-up benchmark, in the programs it measures. It prints "first
// frame at <ns>" (CLOCK_MONOTONIC, so comparable with the clock of the process that started this
// one) on standard output once window has put a frame on screen that was prepared after shown()
// turned true, and quits the application.
void probeFirstFrame(QQuickWindow& window, std::function<bool()> shown);

} // namespace vorlund
