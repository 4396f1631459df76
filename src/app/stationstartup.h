#pragma once

#include <QString>

class QApplication;
class QWidget;
class Settings;

// Brings the station up and runs it until the operator quits.
namespace StationStartup {
int run(QApplication& app);
// The station's own translation if one loads, and always Qt's German texts.
void installTranslators(QApplication& app);
// One warning box when the settings file cannot be used; nothing otherwise.
void showSettingsProblem(QWidget* parent, const Settings& settings);
// EndpointURL for the main window's "Endpoint:" field, without user name and password.
QString endpointText();
} // namespace StationStartup
