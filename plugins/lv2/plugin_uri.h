#pragma once

// The LV2 plugin's URI: hosts save songs with it, so it never changes.
inline constexpr const char *kPluginUri = "https://ondrilux.org/lv2/ondrilux";
