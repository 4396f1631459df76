#include "version.h"

const QString stationVersion = QStringLiteral("0.1.9");
