#pragma once

class QObject;

// The windows of one device job hang below its first window. Starting the next job retires
// the previous chain: a window of it may still be running (inside a power wait or a box),
// but from then on it neither writes the job record nor acts on the device.
namespace JobChain {
void retire(QObject* firstWindow);
bool isRetired(const QObject* window); // the window or one of its parents was retired
} // namespace JobChain
