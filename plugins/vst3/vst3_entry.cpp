// The engine as a VST3 instrument: the module's entry points, the factory
// hosts find the plugin through, and an instance's life and interfaces.
#include "plugins/vst3/vst3_plugin.h"

#include "version.h"

#include <travesty/factory.h>

#include <cstdio>
#include <cstring>
#include <new>

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

v3_result V3_API classInfo(void *, int32_t index, v3_class_info *info) {
    if (index != 0)
        return V3_INVALID_ARG;
    *info = v3_class_info{};
    std::memcpy(info->class_id, kClassId, sizeof kClassId);
    info->cardinality = kManyInstances;
    std::snprintf(info->category, sizeof info->category, "Audio Module Class");
    std::snprintf(info->name, sizeof info->name, "%s", kName);
    return V3_OK;
}

v3_result V3_API classInfo2(void *self, int32_t index, v3_class_info_2 *info) {
    v3_class_info first;
    if (classInfo(self, index, &first) != V3_OK)
        return V3_INVALID_ARG;
    *info = v3_class_info_2{};
    std::memcpy(info->class_id, first.class_id, sizeof first.class_id);
    info->cardinality = first.cardinality;
    std::memcpy(info->category, first.category, sizeof first.category);
    std::memcpy(info->name, first.name, sizeof first.name);
    std::snprintf(info->sub_categories, sizeof info->sub_categories, "%s", kSubCategories);
    std::snprintf(info->vendor, sizeof info->vendor, "%s", kVendor);
    std::snprintf(info->version, sizeof info->version, "%s", kOndriluxVersion);
    std::snprintf(info->sdk_version, sizeof info->sdk_version, "%s", kSdkVersion);
    return V3_OK;
}

v3_result V3_API classInfoUtf16(void *self, int32_t index, v3_class_info_3 *info) {
    v3_class_info_2 narrow;
    if (classInfo2(self, index, &narrow) != V3_OK)
        return V3_INVALID_ARG;
    *info = v3_class_info_3{};
    std::memcpy(info->class_id, narrow.class_id, sizeof narrow.class_id);
    info->cardinality = narrow.cardinality;
    std::memcpy(info->category, narrow.category, sizeof narrow.category);
    copyUtf16(info->name, narrow.name);
    std::memcpy(info->sub_categories, narrow.sub_categories, sizeof narrow.sub_categories);
    copyUtf16(info->vendor, narrow.vendor);
    copyUtf16(info->version, narrow.version);
    copyUtf16(info->sdk_version, narrow.sdk_version);
    return V3_OK;
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
    *object = slot;
    if (!slot)
        return V3_NO_INTERFACE;
    retainVst3Plugin(p);
    return V3_OK;
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
