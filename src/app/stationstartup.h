#pragma once

class QApplication;

// Brings the station up and runs it until the operator quits.
namespace StationStartup {
int run(QApplication& app);
}
