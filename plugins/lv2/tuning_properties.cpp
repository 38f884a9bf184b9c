// The LV2 plugin's tuning: its Scala files as patch properties (patch:Set,
// patch:Put and patch:Get on the input, patch:Set on the notify port), read
// by the host's worker, and kept in the state as the files' whole texts, so a
// song opens with its tuning on a machine without the files.
#include "plugins/lv2/lv2_plugin.h"

#include <lv2/state/state.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The files to read (or, from the worker back, the paths in force): a word of
// which files it names, then each path's length and bytes. A path "" is no file.
struct PathsHead {
    uint32_t names; // kScaleNamed | kMapNamed
    uint32_t scaleLength, mapLength;
};
constexpr uint32_t kScaleNamed = 1, kMapNamed = 2;
constexpr size_t kMostPathsBytes = sizeof(PathsHead) + 2 * kPathBytes;

// Packs the paths into `out` (kMostPathsBytes); its length in bytes.
uint32_t packPaths(uint32_t names, const char *scale, uint32_t scaleLength, const char *map,
                   uint32_t mapLength, uint8_t *out) {
    scaleLength = std::min<uint32_t>(scaleLength, kPathBytes - 1);
    mapLength = std::min<uint32_t>(mapLength, kPathBytes - 1);
    const PathsHead head{names, scaleLength, mapLength};
    std::memcpy(out, &head, sizeof head);
    std::memcpy(out + sizeof head, scale, scaleLength);
    std::memcpy(out + sizeof head + scaleLength, map, mapLength);
    return static_cast<uint32_t>(sizeof head + scaleLength + mapLength);
}

// Unpacks what packPaths packed; false for anything else.
bool unpackPaths(const void *data, uint32_t size, PathsHead &head, const char *&scale,
                 const char *&map) {
    if (!data || size < sizeof head)
        return false;
    std::memcpy(&head, data, sizeof head);
    if (head.scaleLength >= kPathBytes || head.mapLength >= kPathBytes ||
        size != sizeof head + head.scaleLength + head.mapLength)
        return false;
    scale = static_cast<const char *>(data) + sizeof head;
    map = scale + head.scaleLength;
    return true;
}

// A string atom's text: up to its first zero, within its body.
uint32_t textLength(const LV2_Atom *value) {
    const auto *text = static_cast<const char *>(LV2_ATOM_BODY_CONST(value));
    return static_cast<uint32_t>(strnlen(text, value->size));
}

// Each property of an object body of `size` bytes, as long as it lies whole
// within it: visit(key, value).
template <typename Visit> void forEachProperty(const uint8_t *body, uint32_t size, Visit &&visit) {
    uint32_t at = sizeof(LV2_Atom_Object_Body);
    while (at <= size && size - at >= sizeof(LV2_Atom_Property_Body)) {
        const auto *property = reinterpret_cast<const LV2_Atom_Property_Body *>(body + at);
        if (property->value.size > size - at - sizeof *property)
            return;
        visit(property->key, &property->value);
        at += lv2_atom_pad_size(static_cast<uint32_t>(sizeof *property) + property->value.size);
    }
}

// A property's value as a path: an atom:Path or atom:String.
bool isPath(const Lv2Urids &u, const LV2_Atom *value) {
    return value->type == u.atomPath || value->type == u.atomString;
}

// Real-time: the files' properties of a patch:Set or patch:Put to the
// worker, at most one request a message.
void askWorker(Lv2Plugin &p, const LV2_Atom *scale, const LV2_Atom *map) {
    if (!p.worker || (!scale && !map))
        return;
    uint8_t request[kMostPathsBytes];
    const auto text = [](const LV2_Atom *a) {
        return a ? static_cast<const char *>(LV2_ATOM_BODY_CONST(a)) : "";
    };
    const uint32_t size =
        packPaths((scale ? kScaleNamed : 0) | (map ? kMapNamed : 0), text(scale),
                  scale ? textLength(scale) : 0, text(map), map ? textLength(map) : 0, request);
    if (p.worker->schedule_work(p.worker->handle, size, request) == LV2_WORKER_SUCCESS)
        takeHostTuning(p.engine); // the host may have run the worker at once
}

void copyPath(char (&to)[kPathBytes], const char *from, uint32_t length) {
    std::memcpy(to, from, length);
    to[length] = '\0';
}

// Writes patch:Set of `key` to `value` (a text of `type`) at the block's start.
void tellProperty(Lv2Plugin &p, LV2_URID key, LV2_URID type, const char *value) {
    LV2_Atom_Forge &f = p.forge;
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_frame_time(&f, 0);
    lv2_atom_forge_object(&f, &frame, 0, p.uris.patchSet);
    lv2_atom_forge_key(&f, p.uris.patchProperty);
    lv2_atom_forge_urid(&f, key);
    lv2_atom_forge_key(&f, p.uris.patchValue);
    lv2_atom_forge_typed_string(&f, type, value, static_cast<uint32_t>(std::strlen(value)));
    lv2_atom_forge_pop(&f, &frame);
}

// The worker: reads the files a request names, in force when they make a
// tuning (handed to the audio thread); a file that does not gets one line on
// standard error and leaves the tuning as it was. Either way it answers
// with the paths in force.
LV2_Worker_Status work(LV2_Handle instance, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, uint32_t size, const void *data) {
    Lv2Plugin &p = *static_cast<Lv2Plugin *>(instance);
    PathsHead head;
    const char *scale = nullptr, *map = nullptr;
    if (!unpackPaths(data, size, head, scale, map))
        return LV2_WORKER_ERR_UNKNOWN;
    std::lock_guard<std::mutex> hold(p.filesLock);
    TuningFileTexts chosen = p.files;
    Tuning tuning;
    std::string error;
    if (((head.names & kScaleNamed) &&
         !readTuningFile(chosen, false, std::string(scale, head.scaleLength), error)) ||
        ((head.names & kMapNamed) &&
         !readTuningFile(chosen, true, std::string(map, head.mapLength), error)) ||
        !tuningOfFiles(chosen, tuning, error)) {
        std::fprintf(stderr, "ondrilux: %s: the tuning stays as it was\n", error.c_str());
    } else {
        p.files = std::move(chosen);
        handHostTuning(p.engine, tuning);
    }
    uint8_t answer[kMostPathsBytes];
    const TuningFileTexts &f = p.files;
    return respond(handle,
                   packPaths(0, f.scalePath.data(), static_cast<uint32_t>(f.scalePath.size()),
                             f.mapPath.data(), static_cast<uint32_t>(f.mapPath.size()), answer),
                   answer);
}

// Audio thread: the paths in force, told on the notify port after this run.
LV2_Worker_Status workResponse(LV2_Handle instance, uint32_t size, const void *body) {
    Lv2Plugin &p = *static_cast<Lv2Plugin *>(instance);
    PathsHead head;
    const char *scale = nullptr, *map = nullptr;
    if (!unpackPaths(body, size, head, scale, map))
        return LV2_WORKER_ERR_UNKNOWN;
    copyPath(p.scalePath, scale, head.scaleLength);
    copyPath(p.mapPath, map, head.mapLength);
    p.pathsToTell = true;
    return LV2_WORKER_SUCCESS;
}

// A feature of `uri` among `features`, or nullptr.
template <typename T> const T *feature(const LV2_Feature *const *features, const char *uri) {
    for (const LV2_Feature *const *f = features; f && *f; ++f)
        if (std::strcmp((*f)->URI, uri) == 0)
            return static_cast<const T *>((*f)->data);
    return nullptr;
}

// A path the host made, given back to it.
void freePath(const LV2_Feature *const *features, char *path) {
    if (const auto *f = feature<LV2_State_Free_Path>(features, LV2_STATE__freePath))
        f->free_path(f->handle, path);
    else
        std::free(path);
}

// Keeps each file's text (atom:String) and, where the host maps paths, its
// path (atom:Path) for the host to show: may run beside run and the worker.
LV2_State_Status save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t, const LV2_Feature *const *features) {
    Lv2Plugin &p = *static_cast<Lv2Plugin *>(instance);
    const Lv2Urids &u = p.uris;
    const auto *mapPath = feature<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
    std::lock_guard<std::mutex> hold(p.filesLock);
    const auto keep = [&](bool has, LV2_URID textKey, const std::string &text, LV2_URID pathKey,
                          const std::string &path) {
        if (!has)
            return;
        constexpr uint32_t flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
        store(handle, textKey, text.c_str(), text.size() + 1, u.atomString, flags);
        if (path.empty() || !mapPath)
            return;
        char *abstract = mapPath->abstract_path(mapPath->handle, path.c_str());
        if (abstract)
            store(handle, pathKey, abstract, std::strlen(abstract) + 1, u.atomPath, flags);
        freePath(features, abstract);
    };
    keep(p.files.hasScale(), u.scaleText, p.files.scaleText, u.scale, p.files.scalePath);
    keep(p.files.hasMap(), u.keyboardMapText, p.files.mapText, u.keyboardMap, p.files.mapPath);
    return LV2_STATE_SUCCESS;
}

// Takes the files' texts, or where a state holds only a file's path (a
// preset written by hand), the file; a file absent or empty is none. Files
// that make no tuning get one line on standard error, and the tuning stays.
LV2_State_Status restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t, const LV2_Feature *const *features) {
    Lv2Plugin &p = *static_cast<Lv2Plugin *>(instance);
    const Lv2Urids &u = p.uris;
    const auto *mapPath = feature<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
    TuningFileTexts files;
    std::string error;
    const auto take = [&](bool keyboardMap, LV2_URID textKey, LV2_URID pathKey) {
        std::string &text = keyboardMap ? files.mapText : files.scaleText;
        std::string &path = keyboardMap ? files.mapPath : files.scalePath;
        size_t size = 0;
        uint32_t type = 0, flags = 0;
        const auto *value =
            static_cast<const char *>(retrieve(handle, pathKey, &size, &type, &flags));
        if (value && type == u.atomPath && size > 0) {
            char *absolute = mapPath ? mapPath->absolute_path(mapPath->handle, value) : nullptr;
            path = absolute ? absolute : std::string(value, strnlen(value, size));
            if (absolute)
                freePath(features, absolute);
        }
        value = static_cast<const char *>(retrieve(handle, textKey, &size, &type, &flags));
        if (value && type == u.atomString)
            text.assign(value, strnlen(value, size));
        else if (!path.empty())
            return readTuningFile(files, keyboardMap, path, error);
        if (text.empty())
            path.clear();
        return true;
    };
    Tuning tuning;
    if (!take(false, u.scaleText, u.scale) || !take(true, u.keyboardMapText, u.keyboardMap) ||
        !tuningOfFiles(files, tuning, error)) {
        std::fprintf(stderr, "ondrilux: %s: the tuning stays as it was\n", error.c_str());
        return LV2_STATE_SUCCESS;
    }
    handHostTuning(p.engine, tuning);
    copyPath(p.scalePath, files.scalePath.c_str(),
             static_cast<uint32_t>(std::min(files.scalePath.size(), kPathBytes - 1)));
    copyPath(p.mapPath, files.mapPath.c_str(),
             static_cast<uint32_t>(std::min(files.mapPath.size(), kPathBytes - 1)));
    p.pathsToTell = true;
    std::lock_guard<std::mutex> hold(p.filesLock);
    p.files = std::move(files);
    return LV2_STATE_SUCCESS;
}

} // namespace

void playPatchMessage(Lv2Plugin &p, LV2_URID otype, const uint8_t *body, uint32_t size) {
    const Lv2Urids &u = p.uris;
    if (otype == u.patchGet) {
        p.pathsToTell = true;
        p.toldNameVersion = UINT32_MAX;
        return;
    }
    const LV2_Atom *scale = nullptr, *map = nullptr;
    const auto take = [&](LV2_URID key, const LV2_Atom *value) {
        if (key == u.scale && isPath(u, value))
            scale = value;
        else if (key == u.keyboardMap && isPath(u, value))
            map = value;
    };
    if (otype == u.patchSet) {
        LV2_URID key = 0;
        const LV2_Atom *value = nullptr;
        forEachProperty(body, size, [&](LV2_URID k, const LV2_Atom *v) {
            if (k == u.patchProperty && v->type == u.atomUrid && v->size >= sizeof(LV2_URID))
                std::memcpy(&key, LV2_ATOM_BODY_CONST(v), sizeof key);
            else if (k == u.patchValue)
                value = v;
        });
        if (value)
            take(key, value);
    } else if (otype == u.patchPut) {
        forEachProperty(body, size, [&](LV2_URID k, const LV2_Atom *v) {
            if (k == u.patchBody && v->type == u.atomObject)
                forEachProperty(static_cast<const uint8_t *>(LV2_ATOM_BODY_CONST(v)), v->size,
                                take);
        });
    }
    askWorker(p, scale, map);
}

void tellTuning(Lv2Plugin &p) {
    auto *notify = static_cast<LV2_Atom_Sequence *>(const_cast<void *>(p.ports[kNotifyPort]));
    if (!notify)
        return;
    const Lv2Urids &u = p.uris;
    LV2_Atom_Forge &f = p.forge;
    lv2_atom_forge_set_buffer(&f, reinterpret_cast<uint8_t *>(notify), notify->atom.size);
    LV2_Atom_Forge_Frame sequence;
    lv2_atom_forge_sequence_head(&f, &sequence, 0);
    if (p.pathsToTell) {
        tellProperty(p, u.scale, u.atomPath, p.scalePath);
        tellProperty(p, u.keyboardMap, u.atomPath, p.mapPath);
        p.pathsToTell = false;
    }
    const SynthState &s = p.engine.engine.state;
    const uint32_t version = s.tuning.name.version.load();
    if (version != p.toldNameVersion || s.tuned.get() != p.toldTuned) {
        char name[kTuningNameBytes];
        shownTuningName(s, name);
        tellProperty(p, u.tuningName, u.atomString, name);
        p.toldNameVersion = version;
        p.toldTuned = s.tuned.get();
    }
    lv2_atom_forge_pop(&f, &sequence);
}

const LV2_Worker_Interface kLv2Worker = {work, workResponse, nullptr};
const LV2_State_Interface kLv2State = {save, restore};
