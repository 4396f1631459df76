#pragma once

#include <QString>

// The station program's version, shown in the About dialog.
extern const QString stationVersion;
