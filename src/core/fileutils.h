#pragma once

#include <QString>

class FlashSession;
class QFile;

namespace FileUtils {

// Recursive removal. Refuses, with a warning line and nothing removed, an empty path, "/",
// the home folder, the station's working directory or a folder above it, and any folder
// that is or holds one of the station's own folders (archives, images, logs, test logs, the
// flash script). Symbolic links are removed as links, never followed.
bool removeDir(const QString& path);
// Why removeDir refuses `path`, or empty when it may go.
QString removalRefusal(const QString& path);

// The folder the device configuration is unpacked into: DeviceConfigTargetPath itself.
QString extractionDirectory();

// Removes the extracted device files and the device's archives in DeviceConfigPath.
void removeDeviceFiles(const FlashSession& session, bool includeAdditionals);

// A name from the server used as a file name must not leave its folder.
bool isSafeFileName(const QString& name);

// A folder setting joined with a name, whether or not the setting ends with "/".
QString inFolder(const QString& folder, const QString& name);

// Opens a new, empty file of the station's own at `path`: whatever was planted at that
// name (a file or a link) is removed first, never opened or followed. The QFile does not
// keep the name: remove or rename the file by `path`.
bool openNewFile(QFile& file, const QString& path);
// The same as a raw descriptor, open for reading and writing; -1 on failure.
int createNewFile(const QString& path);

// Replaces the file at `to` in one step, so that a name never holds half a file.
bool replaceFile(const QString& from, const QString& to);

// A regular file, not a link, that lies inside `folder` (after resolving links in both paths).
bool isRegularFileInside(const QString& path, const QString& folder);

} // namespace FileUtils
