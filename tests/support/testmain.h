#pragma once

#include "messagebox.h"
#include "stationstartup.h"

#include <QApplication>
#include <QtTest>

// Headless, with message boxes recorded instead of shown, so no test can block on one.
template <typename TestObject> int testMain(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    StationStartup::installTranslators(app);
    MessageBox::setRecordingForTesting(true);
    TestObject tc;
    return QTest::qExec(&tc, argc, argv);
}

#define NIMBREL_TEST_MAIN(TestObject)                                                                        \
    int main(int argc, char** argv)                                                                          \
    {                                                                                                        \
        return testMain<TestObject>(argc, argv);                                                             \
    }
