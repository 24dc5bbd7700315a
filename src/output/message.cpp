#include "output.h"

#include <QTextStream>

#include <cstdio>

void writeMessage(const QString &message)
{
    // A stream per message: it is flushed when it goes out of scope, so the
    // text is out before anything else happens.
    QTextStream err(stderr);
    err << message;
}
