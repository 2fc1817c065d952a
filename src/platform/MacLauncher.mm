// Relaunch through the running bundle, so macOS treats it as the same application.
#include "Platform.h"

#import <AppKit/AppKit.h>

namespace {
class BundleLauncher final : public AppLauncher {
public:
    void launchNewInstance(std::function<void(bool started)> started) override
    {
        NSWorkspaceOpenConfiguration *configuration = [NSWorkspaceOpenConfiguration configuration];
        configuration.createsNewApplicationInstance = YES;
        auto callback = std::make_shared<std::function<void(bool)>>(std::move(started));
        [[NSWorkspace sharedWorkspace] openApplicationAtURL:[[NSBundle mainBundle] bundleURL]
                                              configuration:configuration
                                          completionHandler:^(NSRunningApplication *app, NSError *error) {
                                              (*callback)(app != nil && error == nil);
                                          }];
    }
};
} // namespace

std::unique_ptr<AppLauncher> makePlatformLauncher()
{
    return std::make_unique<BundleLauncher>();
}
