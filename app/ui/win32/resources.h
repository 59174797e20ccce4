// Resource identifiers of the presets program (also read by its .rc file).
#pragma once

#define PRESETS_ICON 1
#define PRESETS_MANIFEST 1
#define PRESETS_BANNER 101
#define PRESETS_ABOUT_PICTURE 102
#define PRESETS_FOLDER_OPEN 103
#define PRESETS_FOLDER_CLOSED 104
