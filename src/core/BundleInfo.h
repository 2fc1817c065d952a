#pragma once

#include <QVariant>

// A value of the application's information property list: a QString for a text entry, another
// type for any other kind of entry, invalid when the key is missing. Without an application
// bundle (any system but macOS, or a Mac build run outside its bundle, as the tests are), the
// values fixed when the program was built.
QVariant bundleInfoValue(const char *key);

// The values fixed when the program was built: the version, the build number and the backend
// base address under their property list keys; invalid for any other key.
QVariant buildTimeInfoValue(const char *key);
