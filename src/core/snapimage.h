#pragma once

#include <QString>

// A snapshot image name as given on the command line, split into its parts.
struct SnapImage
{
    bool valid = false;
    QString article;
    QString swVersion;
    QString date;
    QString commitHash;

    // Finds the first snapshot image name anywhere in the text (a folder in front is fine).
    static SnapImage parse(const QString& text);
};
