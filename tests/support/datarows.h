#pragma once

#include <QStringList>
#include <QtTest>

// Adds one data row per list, for tables whose columns are all QString: the row's name,
// then its values in column order.
inline void addRows(std::initializer_list<QStringList> rows)
{
    for (const QStringList& row : rows) {
        QTestData& data = QTest::newRow(qPrintable(row.first()));
        for (int i = 1; i < row.size(); ++i)
            data << row.at(i);
    }
}

inline void addColumns(std::initializer_list<const char*> names)
{
    for (const char* name : names)
        QTest::addColumn<QString>(name);
}
