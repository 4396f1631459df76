#pragma once

#include <QString>

// The test scripts' log files in the folder that TestLogPath names. The station never creates
// one: it appends to, and shows, the newest regular file there, never a link or anything outside.
namespace TestLogFile {

// A log larger than this is shown from its end only.
const qint64 maxShownBytes = 1024 * 1024;

// Appends the text and "\n" to the newest test log; false, with a warning line, when there is none.
bool append(const QString& folder, const QString& text);

// The newest test log as text for the operator, empty when the newest entry is no regular file.
// Touches nothing but the file: safe in a pool thread.
QString readLatest(const QString& folder);

} // namespace TestLogFile
