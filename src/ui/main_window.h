#pragma once

class QQmlApplicationEngine;
class QQuickWindow;

namespace vorlund {

// Loads one window of the program (Main.qml) into engine. Returns it, or null if it failed.
QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine);

} // namespace vorlund
