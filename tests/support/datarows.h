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

// The current row's value of a QString column: one call instead of a QFETCH line per column.
inline QString cell(const char* column)
{
    return *static_cast<QString*>(QTest::qData(column, qMetaTypeId<QString>()));
}

inline void addColumns(std::initializer_list<const char*> names)
{
    for (const char* name : names)
        QTest::addColumn<QString>(name);
}
