// What the steering panels share: their skin.
#include <vector>

#include "console/panels/steering_panels.h"

namespace k0340cvw {

bool SkinPanelWindow(console::SkinHookClient& client, HWND window, const char* piece, const ChildSkin* children,
                     size_t count) {
    std::vector<skinhook::ControlStyle> styles;
    styles.reserve(count);
    std::vector<skinhook::ChildDescriptor> descriptors;
    descriptors.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        styles.push_back({sizeof(skinhook::ControlStyle), 2, children[i].piece, {}});
        descriptors.push_back({sizeof(skinhook::ChildDescriptor), static_cast<uint32_t>(children[i].id), &styles.back()});
    }
    const std::string bundle = console::SkinBundlePath();
    const skinhook::SkinDescriptor d{sizeof(skinhook::SkinDescriptor), bundle.c_str(), skinhook::kNamedPiece, piece, {},
                                     static_cast<uint32_t>(descriptors.size()),
                                     descriptors.empty() ? nullptr : descriptors.data()};
    // The console window loaded the library from its folder; a panel made
    // without one (tests, tools) looks there itself.
    return client.AttachSkin(window, &d, console::SkinLibraryFolder().c_str());
}

}  // namespace k0340cvw
