#pragma once

class QApplication;

// Brings the station up and runs it until the operator quits.
namespace StationStartup {
int run(QApplication& app);
// The station's own translation if one loads, and always Qt's German texts.
void installTranslators(QApplication& app);
} // namespace StationStartup
