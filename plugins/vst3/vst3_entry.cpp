// The engine as a VST3 instrument: the module's entry points, the factory
// hosts find the plugin through, and an instance's life and interfaces.
#include "plugins/vst3/vst3_plugin.h"

#include "version.h"

#include <travesty/factory.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

// Hosts save songs with the class's id: it never changes.
constexpr v3_tuid kClassId = V3_ID(0x72D366B0, 0xF64B4D3D, 0xBDA1EA2A, 0x6D379C98);
constexpr const char *kName = "Ondrilux", *kVendor = "Ondrilux maintainers",
                     *kUrl = "https://ondrilux.org", *kSdkVersion = "VST 3.7.4";
// What hosts file it under (Ardour: an instrument).
constexpr const char *kSubCategories = "Instrument|Synth";
// The factory's flag for names in UTF-16.
constexpr int32_t kUnicodeNames = 0x10;
constexpr int32_t kManyInstances = 0x7FFFFFFF;

v3_result V3_API queryFactory(void *self, const v3_tuid iid, void **object) {
    const bool known =
        v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_factory_iid) ||
        v3_tuid_match(iid, v3_plugin_factory_2_iid) || v3_tuid_match(iid, v3_plugin_factory_3_iid);
    *object = known ? self : nullptr;
    return known ? V3_OK : V3_NO_INTERFACE;
}

// The factory lives as long as the module: counting its references is moot.
uint32_t V3_API refFactory(void *) {
    return 1;
}

v3_result V3_API factoryInfo(void *, v3_factory_info *info) {
    *info = v3_factory_info{};
    std::snprintf(info->vendor, sizeof info->vendor, "%s", kVendor);
    std::snprintf(info->url, sizeof info->url, "%s", kUrl);
    info->flags = kUnicodeNames;
    return V3_OK;
}

int32_t V3_API classCount(void *) {
    return 1;
}

// Text into a field of a class's description, narrow or UTF-16 as it is.
template <size_t N> void put(char (&to)[N], const char *from) {
    std::snprintf(to, N, "%s", from);
}
template <size_t N> void put(int16_t (&to)[N], const char *from) {
    copyUtf16(to, from);
}

// The class's description, in any of the factory's three forms.
template <typename Info> v3_result describeClass(int32_t index, Info *info) {
    if (index != 0)
        return V3_INVALID_ARG;
    *info = Info{};
    std::memcpy(info->class_id, kClassId, sizeof kClassId);
    info->cardinality = kManyInstances;
    put(info->category, "Audio Module Class");
    put(info->name, kName);
    if constexpr (!std::is_same_v<Info, v3_class_info>) {
        put(info->sub_categories, kSubCategories);
        put(info->vendor, kVendor);
        put(info->version, kOndriluxVersion);
        put(info->sdk_version, kSdkVersion);
    }
    return V3_OK;
}

v3_result V3_API classInfo(void *, int32_t index, v3_class_info *info) {
    return describeClass(index, info);
}

v3_result V3_API classInfo2(void *, int32_t index, v3_class_info_2 *info) {
    return describeClass(index, info);
}

v3_result V3_API classInfoUtf16(void *, int32_t index, v3_class_info_3 *info) {
    return describeClass(index, info);
}

v3_result V3_API setHostContext(void *, v3_funknown **) {
    return V3_OK;
}

// A new instance, as the host asks for it by one of its interfaces.
v3_result V3_API createInstance(void *, const v3_tuid classId, const v3_tuid iid, void **object) {
    *object = nullptr;
    if (!v3_tuid_match(classId, kClassId))
        return V3_NO_INTERFACE;
    Vst3Plugin *p = new (std::nothrow) Vst3Plugin;
    if (!p)
        return V3_NOMEM;
    p->component = {&kVst3Component, p};
    p->processor = {&kVst3Processor, p};
    p->controller = {&kVst3Controller, p};
    p->units = {&kVst3Units, p};
    p->midiMapping = {&kVst3MidiMapping, p};
    for (const ControlPort &c : kControlPorts) {
        p->played[c.index].store(static_cast<float>(c.range.initial), std::memory_order_relaxed);
        p->shown[c.index].store(static_cast<float>(c.range.initial), std::memory_order_relaxed);
    }
    const v3_result found = queryVst3Plugin(&p->component, iid, object);
    releaseVst3Plugin(*p); // the host's reference, if any, keeps it
    return found;
}

const v3_plugin_factory_cpp kFactoryFunctions = {
    {queryFactory, refFactory, refFactory},
    {factoryInfo, classCount, classInfo, createInstance},
    {classInfo2},
    {classInfoUtf16, setHostContext}};
const void *const kFactory = &kFactoryFunctions;

} // namespace

v3_result V3_API queryVst3Plugin(void *self, const v3_tuid iid, void **object) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    ComSlot<Vst3Plugin> *slot = nullptr;
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_base_iid) ||
        v3_tuid_match(iid, v3_component_iid))
        slot = &p.component;
    else if (v3_tuid_match(iid, v3_audio_processor_iid))
        slot = &p.processor;
    else if (v3_tuid_match(iid, v3_edit_controller_iid))
        slot = &p.controller;
    else if (v3_tuid_match(iid, v3_unit_information_iid))
        slot = &p.units;
    else if (v3_tuid_match(iid, v3_midi_mapping_iid))
        slot = &p.midiMapping;
    return handOut(slot, object);
}

void retainVst3Plugin(Vst3Plugin &p) {
    p.references.fetch_add(1, std::memory_order_relaxed);
}

void releaseVst3Plugin(Vst3Plugin &p) {
    if (p.references.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (p.handler)
        v3_cpp_obj_unref(p.handler);
    stopHostRateEngine(p.engine);
    delete &p;
}

uint32_t V3_API refVst3Plugin(void *self) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    retainVst3Plugin(p);
    return p.references.load(std::memory_order_relaxed);
}

uint32_t V3_API unrefVst3Plugin(void *self) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    const uint32_t left = p.references.load(std::memory_order_relaxed) - 1;
    releaseVst3Plugin(p);
    return left;
}

// The instance is whole from its creation. Hosts initialize the component
// and the controller, which are one here: both calls are welcome.
v3_result V3_API initializeVst3Plugin(void *, v3_funknown **) {
    return V3_OK;
}

v3_result V3_API terminateVst3Plugin(void *) {
    return V3_OK;
}

// The module's entry points, as VST3 names them on Linux: the only symbols
// the library exports.
extern "C" {

__attribute__((visibility("default"))) const void *GetPluginFactory() {
    return &kFactory;
}

__attribute__((visibility("default"))) bool ModuleEntry(void *) {
    return true;
}

__attribute__((visibility("default"))) bool ModuleExit() {
    return true;
}
}
