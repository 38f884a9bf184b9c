#pragma once

// One instance of the LV2 plugin, shared by its two files: its life and run
// loop (ondrilux_plugin.cpp), and the tuning's Scala files as patch
// properties, read by the worker and kept in the state (tuning_properties.cpp).
#include "plugins/controls/state_text.h"
#include "plugins/host_rate/host_rate_engine.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <climits>
#include <cstdint>
#include <mutex>

// The URIs the plugin reads and writes, mapped once at instantiation.
struct Lv2Urids {
    LV2_URID midiEvent, atomObject, atomPath, atomString, atomUrid;
    LV2_URID patchSet, patchPut, patchGet, patchProperty, patchValue, patchBody;
    LV2_URID scale, keyboardMap, tuningName, scaleText, keyboardMapText;
};

// The most bytes of a path the plugin tells on its notify port, its
// terminating zero included: what the system opens.
inline constexpr size_t kPathBytes = PATH_MAX;

struct Lv2Plugin {
    HostRateEngine engine;
    const void *ports[kPortCount] = {};
    Lv2Urids uris{};
    double hostRate = 0.0;
    // The host's worker, where it has one: without it the files can be set
    // through the state alone.
    const LV2_Worker_Schedule *worker = nullptr;

    // The tuning's files as the worker last read them, or a state restored
    // them: the worker and the state's save and restore, one at a time.
    std::mutex filesLock;
    TuningFileTexts files;

    // The audio thread's (and restore's, which runs alone): the files' paths
    // as the notify port tells them, what it has yet to tell, and the name
    // it last told (the engine's name's version and whether it was tuned).
    LV2_Atom_Forge forge{};
    char scalePath[kPathBytes] = "", mapPath[kPathBytes] = "";
    bool pathsToTell = true;
    uint32_t toldNameVersion = UINT32_MAX;
    int32_t toldTuned = -1;
};

// Audio thread: an atom:Object event on the input (patch:Set or patch:Put of
// the files' properties, patch:Get of all), its body `size` bytes at `body`.
// A file set is read by the worker; taken at once where the host runs the
// worker at once (as it may when it renders offline).
void playPatchMessage(Lv2Plugin &p, LV2_URID otype, const uint8_t *body, uint32_t size);

// Audio thread, after each run: the files' paths and the tuning's name on
// the notify port, where they changed or were asked for (an empty sequence
// otherwise).
void tellTuning(Lv2Plugin &p);

// The worker's and the state's functions, for extension_data.
extern const LV2_Worker_Interface kLv2Worker;
extern const LV2_State_Interface kLv2State;
