// K0340Vfw linked into a process: registered as the built-in module
// "K0340Vfw.dll" so that the multimedia runtime and COM find it by name.
#pragma once

namespace k0340vfw {

void RegisterBuiltin();
// The library's live COM objects (0 once everything is released).
long LiveObjectCount();

}  // namespace k0340vfw
