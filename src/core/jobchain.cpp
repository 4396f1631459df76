#include "jobchain.h"

#include <QObject>
#include <QVariant>

namespace {
const char* const retiredProperty = "nimbrelJobRetired";
}

namespace JobChain {

void retire(QObject* firstWindow)
{
    if (firstWindow)
        firstWindow->setProperty(retiredProperty, true);
}

bool isRetired(const QObject* window)
{
    for (const QObject* object = window; object; object = object->parent()) {
        if (object->property(retiredProperty).toBool())
            return true;
    }
    return false;
}

} // namespace JobChain
