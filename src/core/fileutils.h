#pragma once

#include <QString>

class FlashSession;

namespace FileUtils {

// Recursive removal that refuses an empty path, the filesystem root and the station's
// working directory, and removes symbolic links as links, never what they point to.
bool removeDir(const QString& path);

// The folder the device configuration is unpacked into: DeviceConfigTargetPath up to its last "/".
QString extractionDirectory();

// Removes the extracted device files and the device's archives in DeviceConfigPath.
void removeDeviceFiles(const FlashSession& session, bool includeAdditionals);

// A name from the server used as a file name must not leave its folder.
bool isSafeFileName(const QString& name);

} // namespace FileUtils
