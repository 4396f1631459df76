#pragma once

#include "messagebox.h"
#include "stationstartup.h"

#include <QApplication>
#include <QtTest>

// The window must answer within maxGuiGapMs while it works. The sanitizers slow every slice of
// work and the station's start and end several times: there only a freeze is caught, and waits
// for a whole station program are stretched.
#ifdef NIMBREL_SANITIZED
constexpr int maxGuiGapMs = 2000, slowdown = 4;
#else
constexpr int maxGuiGapMs = 100, slowdown = 1;
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
