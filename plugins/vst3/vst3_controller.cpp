// The VST3 plugin's edit controller: its parameters are the LV2 plugin's
// control ports by index, with the words every format shows their values
// with; beside them, hidden, the program that Program Change selects and the
// controllers the engine answers, which IMidiMapping assigns on every
// channel (hosts ask once), so that the channel control chooses among them.
// Every call comes from the host's main thread.
#include "plugins/vst3/vst3_plugin.h"

#include "plugins/controls/value_text.h"

#include "engine_driving/live_control.h"
#include "midi/note_handling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <string>

namespace {

constexpr int32_t kControlCount = static_cast<int32_t>(std::size(kControlPorts));
constexpr int32_t kChannels = 16;
constexpr int32_t kPitchBendSteps = 16383, kControllerSteps = 127;

// The controllers mapped on each channel, in the parameters' order: those
// the engine answers, as ondrilux-jack plays them, and pitch bend.
struct MappedControllers {
    int16_t numbers[130];
    int32_t count;
};

const MappedControllers &mappedControllers() {
    static const MappedControllers mapped = [] {
        MappedControllers m{};
        for (uint8_t number = 0; number < 128; ++number)
            if (answersController(number))
                m.numbers[m.count++] = number;
        m.numbers[m.count++] = kPitchBendController;
        return m;
    }();
    return mapped;
}

bool isMapped(int16_t controller) {
    return controller == kPitchBendController ||
           (controller >= 0 && controller < 128 &&
            answersController(static_cast<uint8_t>(controller)));
}

// The channel and controller a hidden MIDI parameter stands for.
bool midiParam(v3_param_id id, int32_t &channel, int16_t &controller) {
    if (id < kMidiParams)
        return false;
    channel = static_cast<int32_t>((id - kMidiParams) >> 8);
    controller = static_cast<int16_t>((id - kMidiParams) & 0xFF);
    return channel < kChannels && isMapped(controller);
}

v3_param_id midiParamId(int32_t channel, int16_t controller) {
    return kMidiParams + static_cast<v3_param_id>(channel) * 0x100 +
           static_cast<v3_param_id>(controller);
}

int32_t midiSteps(int16_t controller) {
    return controller == kPitchBendController ? kPitchBendSteps : kControllerSteps;
}

// The operation, the channel and the switches take whole steps; the names
// of the operation's and the channel's values make them lists.
bool isStepped(const ControlPort &c) {
    return c.index == kOperationPort || c.index == kChannelPort || isToggle(c.index);
}

int32_t stepCount(const ControlPort &c) {
    return isStepped(c) ? c.range.max - c.range.min : 0;
}

// Whole steps from a normalized value: `steps` of them, NaN kept.
double steppedPlain(double normalized, int32_t steps) {
    return std::isnan(normalized) ? normalized
                                  : std::round(std::clamp(normalized, 0.0, 1.0) * steps);
}

// A control's name as hosts show it, and the unit its name ends with
// ("Decay (ms)": "Decay", in "ms").
void titleAndUnits(const ControlPort &c, v3_param_info &info) {
    const std::string_view name = c.name;
    const size_t open = name.rfind(" (");
    const bool hasUnits = open != std::string_view::npos && name.ends_with(')');
    copyUtf16(info.title, name.substr(0, hasUnits ? open : name.size()));
    copyUtf16(info.units, hasUnits ? name.substr(open + 2, name.size() - open - 3) : "");
    copyUtf16(info.short_title, name.substr(0, hasUnits ? open : name.size()));
}

const ControlPort &operationControl() {
    return *controlPort(kOperationPort);
}

int32_t parameterCount() {
    return kControlCount + 1 + kChannels * mappedControllers().count;
}

int32_t V3_API parameterCountOf(void *) {
    return parameterCount();
}

v3_result V3_API parameterInfo(void *, int32_t index, v3_param_info *info) {
    if (index < 0 || index >= parameterCount())
        return V3_INVALID_ARG;
    *info = v3_param_info{};
    if (index < kControlCount) {
        const ControlPort &c = kControlPorts[index];
        info->param_id = c.index;
        titleAndUnits(c, *info);
        info->step_count = stepCount(c);
        info->default_normalised_value = controlNormalized(c, c.range.initial);
        info->flags = V3_PARAM_CAN_AUTOMATE |
                      (c.index == kOperationPort || c.index == kChannelPort ? V3_PARAM_IS_LIST : 0);
        return V3_OK;
    }
    if (index == kControlCount) {
        info->param_id = kProgramParam;
        copyUtf16(info->title, "Program");
        copyUtf16(info->short_title, "Program");
        info->step_count = kProgramCount - 1;
        info->flags = V3_PARAM_PROGRAM_CHANGE | V3_PARAM_IS_LIST | V3_PARAM_IS_HIDDEN;
        return V3_OK;
    }
    const MappedControllers &mapped = mappedControllers();
    const int32_t midi = index - kControlCount - 1;
    const int32_t channel = midi / mapped.count;
    const int16_t controller = mapped.numbers[midi % mapped.count];
    info->param_id = midiParamId(channel, controller);
    char title[64];
    if (controller == kPitchBendController)
        std::snprintf(title, sizeof title, "Pitch bend, channel %d", channel + 1);
    else
        std::snprintf(title, sizeof title, "Controller %d, channel %d", controller, channel + 1);
    copyUtf16(info->title, title);
    copyUtf16(info->short_title, title);
    info->step_count = midiSteps(controller);
    info->default_normalised_value =
        controller == kPitchBendController ? 8192.0 / kPitchBendSteps : 0.0;
    info->flags = V3_PARAM_IS_HIDDEN;
    return V3_OK;
}

// The whole steps of the program's and a MIDI controller's values; 0 for
// any other parameter.
int32_t hiddenSteps(v3_param_id id) {
    int32_t channel = 0;
    int16_t controller = 0;
    if (id == kProgramParam)
        return kProgramCount - 1;
    return midiParam(id, channel, controller) ? midiSteps(controller) : 0;
}

// A parameter's value in the host's units: a control's, the program's, or a
// MIDI controller's data; NaN for no parameter.
double plainOf(v3_param_id id, double normalized) {
    if (const ControlPort *c = controlPort(id))
        return controlPlain(*c, normalized);
    const int32_t steps = hiddenSteps(id);
    return steps ? steppedPlain(normalized, steps) : NAN;
}

double normalizedOf(v3_param_id id, double plain) {
    if (const ControlPort *c = controlPort(id))
        return controlNormalized(*c, plain);
    const int32_t steps = hiddenSteps(id);
    return steps ? std::clamp(plain / steps, 0.0, 1.0) : 0.0;
}

double V3_API toPlain(void *, v3_param_id id, double normalized) {
    const double plain = plainOf(id, normalized);
    return std::isnan(plain) ? normalized : plain;
}

double V3_API toNormalized(void *, v3_param_id id, double plain) {
    return normalizedOf(id, plain);
}

v3_result V3_API valueToText(void *, v3_param_id id, double normalized, v3_str_128 text) {
    const double plain = plainOf(id, normalized);
    if (std::isnan(plain))
        return V3_INVALID_ARG;
    char words[128];
    if (const ControlPort *c = controlPort(id))
        controlValueText(*c, controlPortValue(*c, static_cast<float>(plain)), words, sizeof words);
    else if (id == kProgramParam) // the operation it selects
        controlValueText(operationControl(), operationOfProgram(static_cast<int32_t>(plain)), words,
                         sizeof words);
    else
        std::snprintf(words, sizeof words, "%d", static_cast<int32_t>(plain));
    copyUtf16(text, sizeof(v3_str_128) / sizeof(int16_t), words);
    return V3_OK;
}

v3_result V3_API textToValue(void *, v3_param_id id, int16_t *text, double *normalized) {
    std::string ascii;
    for (const int16_t *t = text; t && *t; ++t) {
        if (*t < 0x20 || *t > 0x7E || ascii.size() == 127)
            return V3_INVALID_ARG; // none of the values' words has such a letter
        ascii += static_cast<char>(*t);
    }
    // The program by the name of the operation it selects.
    const ControlPort *words = id == kProgramParam ? &operationControl() : controlPort(id);
    int32_t v = 0;
    if (std::isnan(plainOf(id, 0.0)) ||
        (words ? !controlValueFromText(*words, ascii, v) : !parseInteger(ascii, v)))
        return V3_INVALID_ARG;
    *normalized = normalizedOf(id, id == kProgramParam ? v - operationOfProgram(0) : v);
    return V3_OK;
}

double V3_API normalizedNow(void *self, v3_param_id id) {
    const Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    if (const ControlPort *c = controlPort(id))
        return controlNormalized(*c, p.shown[c->index].load(std::memory_order_relaxed));
    if (id == kProgramParam)
        return normalizedOf(id, p.shown[kOperationPort].load(std::memory_order_relaxed) -
                                    operationOfProgram(0));
    return 0.0; // a MIDI controller's: nothing is held
}

// The host's value for the controller and the panel; the host sends it to
// the processor itself. The program sets the operation.
v3_result V3_API setNormalized(void *self, v3_param_id id, double normalized) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    const double plain = plainOf(id, normalized);
    if (std::isnan(plain))
        return V3_INVALID_ARG;
    if (const ControlPort *c = controlPort(id))
        p.shown[c->index].store(static_cast<float>(plain), std::memory_order_relaxed);
    else if (id == kProgramParam)
        p.shown[kOperationPort].store(
            static_cast<float>(operationOfProgram(static_cast<int32_t>(plain))),
            std::memory_order_relaxed);
    return V3_OK;
}

v3_result V3_API setComponentHandler(void *self, v3_component_handler **handler) {
    Vst3Plugin &p = ownerOf<Vst3Plugin>(self);
    if (handler)
        v3_cpp_obj_ref(handler);
    if (p.handler)
        v3_cpp_obj_unref(p.handler);
    p.handler = handler;
    return V3_OK;
}

v3_plugin_view **V3_API createView(void *self, const char *name) {
    return createVst3View(ownerOf<Vst3Plugin>(self), name);
}

// One unit, the whole plugin, with one list of programs: the operations, as
// Program Change selects them (hosts list them as presets by these names).
int32_t V3_API justOne(void *) { // unit, and list of programs
    return 1;
}

v3_result V3_API unitInfo(void *, int32_t index, v3_unit_info *info) {
    if (index != 0)
        return V3_INVALID_ARG;
    *info = v3_unit_info{};
    info->parent_unit_id = -1;
    copyUtf16(info->name, "Ondrilux");
    return V3_OK;
}

v3_result V3_API programListInfo(void *, int32_t index, v3_program_list_info *info) {
    if (index != 0)
        return V3_INVALID_ARG;
    *info = v3_program_list_info{};
    copyUtf16(info->name, "Operations");
    info->programCount = kProgramCount;
    return V3_OK;
}

v3_result V3_API programName(void *self, int32_t list, int32_t program, v3_str_128 name) {
    if (list != 0 || program < 0 || program >= kProgramCount)
        return V3_INVALID_ARG;
    return valueToText(self, kProgramParam, normalizedOf(kProgramParam, program), name);
}

v3_result V3_API programInfo(void *, int32_t, int32_t, const char *, v3_str_128) {
    return V3_FALSE;
}

v3_result V3_API pitchNames(void *, int32_t, int32_t) {
    return V3_FALSE;
}

v3_result V3_API pitchName(void *, int32_t, int32_t, int16_t, v3_str_128) {
    return V3_FALSE;
}

int32_t V3_API selectedUnit(void *) {
    return 0;
}

v3_result V3_API selectUnit(void *, int32_t unit) {
    return unit == 0 ? V3_OK : V3_INVALID_ARG;
}

v3_result V3_API unitByBus(void *, int32_t, int32_t, int32_t, int32_t, int32_t *unit) {
    *unit = 0;
    return V3_OK;
}

v3_result V3_API unitProgramData(void *, int32_t, int32_t, v3_bstream **) {
    return V3_NOT_IMPLEMENTED;
}

v3_result V3_API controllerAssignment(void *, int32_t bus, int16_t channel, int16_t controller,
                                      v3_param_id *id) {
    if (bus != 0 || channel < 0 || channel >= kChannels || !isMapped(controller))
        return V3_FALSE;
    *id = midiParamId(channel, controller);
    return V3_OK;
}

} // namespace

#ifndef ONDRILUX_VST3_PANEL
// Built without the panel (no cairo or Xlib): hosts show their own controls.
v3_plugin_view **createVst3View(Vst3Plugin &, const char *) {
    return nullptr;
}
#endif

double controlPlain(const ControlPort &c, double normalized) {
    if (isStepped(c) || std::isnan(normalized))
        return c.range.min + steppedPlain(normalized, stepCount(c));
    return c.range.min + std::clamp(normalized, 0.0, 1.0) * (c.range.max - c.range.min);
}

double controlNormalized(const ControlPort &c, double plain) {
    const double span = c.range.max - c.range.min;
    return std::clamp((plain - c.range.min) / span, 0.0, 1.0);
}

uint32_t midiParamMessage(v3_param_id id, double normalized) {
    int32_t channel = 0;
    int16_t controller = 0;
    if (!midiParam(id, channel, controller) || std::isnan(normalized))
        return 0;
    const auto value = static_cast<int32_t>(steppedPlain(normalized, midiSteps(controller)));
    const auto status = static_cast<uint8_t>(channel);
    if (controller == kPitchBendController)
        return shortMessage(0xE0 | status, value & 0x7F, static_cast<uint8_t>(value >> 7));
    return shortMessage(0xB0 | status, static_cast<uint8_t>(controller),
                        static_cast<uint8_t>(value));
}

const v3_edit_controller_cpp kVst3Controller = {
    {queryVst3Plugin, refVst3Plugin, unrefVst3Plugin},
    {initializeVst3Plugin, terminateVst3Plugin},
    {setControllerComponentState, setControllerState, getControllerState, parameterCountOf,
     parameterInfo, valueToText, textToValue, toPlain, toNormalized, normalizedNow, setNormalized,
     setComponentHandler, createView}};

const v3_unit_information_cpp kVst3Units = {{queryVst3Plugin, refVst3Plugin, unrefVst3Plugin},
                                            {justOne, unitInfo, justOne, programListInfo,
                                             programName, programInfo, pitchNames, pitchName,
                                             selectedUnit, selectUnit, unitByBus, unitProgramData}};

const v3_midi_mapping_cpp kVst3MidiMapping = {{queryVst3Plugin, refVst3Plugin, unrefVst3Plugin},
                                              {controllerAssignment}};
