#pragma once

// The LV2 plugin's URI: hosts save songs with it, so it never changes.
inline constexpr const char *kPluginUri = "https://ondrilux.org/lv2/ondrilux";

// The tuning's Scala files as the plugin's properties (atom:Path, which hosts
// show as file choosers), the name of the tuning in force (atom:String, read
// only, for the panel), and the state's keys of the files' whole texts
// (atom:String): songs and presets keep them, so they never change either.
inline constexpr const char *kScaleUri = "https://ondrilux.org/lv2/ondrilux#scale";
inline constexpr const char *kKeyboardMapUri = "https://ondrilux.org/lv2/ondrilux#keyboard_map";
inline constexpr const char *kTuningNameUri = "https://ondrilux.org/lv2/ondrilux#tuning_name";
inline constexpr const char *kScaleTextUri = "https://ondrilux.org/lv2/ondrilux#scale_text";
inline constexpr const char *kKeyboardMapTextUri =
    "https://ondrilux.org/lv2/ondrilux#keyboard_map_text";
