#pragma once

#include <QVariant>

// A value of the application's information property list: a QString for a text entry, another
// type for any other kind of entry, invalid when the key is missing. Without an application
// bundle, the version and build are the values fixed when the program was built.
QVariant bundleInfoValue(const char *key);
