// StartKFX.exe, the engine's service starter, as a loadable program file.
#include "outside/KfxEngine/engine.h"

extern "C" __attribute__((visibility("default"))) int ProgramMain(const char* arguments, int show) {
    return kfx::StartKfxMain(arguments, show);
}
