#include "DarkAppearance.h"

#import <AppKit/AppKit.h>

void requestDarkAppearance()
{
    NSApp.appearance = [NSAppearance appearanceNamed:NSAppearanceNameDarkAqua];
}
