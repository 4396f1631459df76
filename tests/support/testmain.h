#pragma once

#include "messagebox.h"
#include "stationstartup.h"

#include <QApplication>
#include <QtTest>

// The window must answer within this while it works. The sanitizers slow every slice of work
// several times, so there only a freeze is caught.
#ifdef NIMBREL_SANITIZED
constexpr int maxGuiGapMs = 2000;
#else
constexpr int maxGuiGapMs = 100;
#endif

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
