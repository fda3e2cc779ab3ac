// The texts the window program prints without opening a window.
#pragma once

extern const char kUtilityHelp[];
extern const char kUtilityVersion[];
