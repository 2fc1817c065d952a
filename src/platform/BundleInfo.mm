#include "BundleInfo.h"

#import <Foundation/Foundation.h>

QVariant bundleInfoValue(const char *key)
{
    @autoreleasepool {
        id value = [[NSBundle mainBundle] objectForInfoDictionaryKey:[NSString stringWithUTF8String:key]];
        // Outside a bundle (the tests, a developer's build tree) there is no property list.
        if (value == nil)
            return buildTimeInfoValue(key);
        if ([value isKindOfClass:[NSString class]]) {
            NSString *text = value;
            return QString::fromNSString(text);
        }
        // A number, date, array or dictionary only has to differ from a text and from nothing.
        return QVariant(QMetaType::fromType<QVariantMap>());
    }
}
