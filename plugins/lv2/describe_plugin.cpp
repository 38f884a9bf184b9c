// Writes a file of the plugin's bundle to standard output, from the same
// tables the plugin and the window use: `manifest` (manifest.ttl, with the
// panel when its binary is named), `plugin`
// (ondrilux.ttl: ports, ranges, defaults, the operations' short names as the
// choices of `operation`, and the tuning's files as properties) or `presets`
// (presets.ttl).
#include "plugins/lv2/plugin_uri.h"
#include "plugins/controls/control_ports.h"

#include "engine/operation_names.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

// The project's version as LV2 counts it (plugins/lv2/CMakeLists.txt): a
// release has a minor version above 0, and both it and the micro version even.
constexpr int kLv2MinorVersion = ONDRILUX_LV2_MINOR_VERSION;
constexpr int kLv2MicroVersion = ONDRILUX_LV2_MICRO_VERSION;
static_assert(kLv2MinorVersion > 0 && kLv2MinorVersion % 2 == 0 && kLv2MicroVersion % 2 == 0);

constexpr const char *kPrefixes =
    "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix ui: <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix patch: <http://lv2plug.in/ns/ext/patch#> .\n"
    "@prefix rsz: <http://lv2plug.in/ns/ext/resize-port#> .\n"
    "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
    "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n\n";

// The panel's URI, beside the plugin's: hosts remember which UI they showed.
constexpr const char *kUiFragment = "#ui";

// Factory presets, each named for the sound it makes; together they show
// what a few of the operations do. Values by port, in kControlPorts' order,
// all but the last, the channel: that is the player's setup, not the sound.
constexpr size_t kPresetPorts = std::size(kControlPorts) - 1;
static_assert(kControlPorts[kPresetPorts].index == kChannelPort);
struct Preset {
    const char *id;
    const char *label;
    int32_t values[kPresetPorts];
};

// operation, static value, attack, decay, sustain, release, range top,
// range bottom, quick start, bend range, glide, glide legato, velocity
constexpr Preset kPresets[] = {
    {"soft-sine", "Soft sine", {1, 0, 1, 1000, 70, 400, 40, 90, 1, 2, 0, 0, 0}},
    {"hollow-buzz", "Hollow buzz", {4, 50, 1, 800, 60, 300, 40, 90, 1, 2, 0, 0, 0}},
    {"crushed-bass", "Crushed bass", {6, 50, 1, 600, 40, 200, 20, 200, 1, 2, 0, 0, 0}},
    {"glassy-bell", "Glassy bell", {10, 50, 1, 1500, 0, 1500, 10, 120, 1, 2, 0, 0, 0}},
    {"sweeping-pad", "Sweeping pad", {13, 50, 1600, 3000, 60, 3000, 10, 240, 1, 2, 0, 0, 0}},
    // Slides between held notes, bends a fifth, bites harder when played harder.
    {"gliding-bass", "Gliding bass", {6, 30, 1, 400, 70, 150, 30, 220, 1, 7, 120, 1, 60}},
    {"singing-lead", "Singing lead", {3, 40, 40, 800, 80, 500, 20, 140, 1, 2, 60, 0, 40}},
};

constexpr bool presetsInRange() {
    for (const Preset &p : kPresets)
        for (size_t i = 0; i < kPresetPorts; ++i)
            if (!inRange(kControlPorts[i].range, p.values[i]))
                return false;
    return true;
}
static_assert(presetsInRange());

// The panel, when it is built: an X11 window under the host's, driven by the
// host's idle calls, told the level the live picture draws and, on the notify
// port, the tuning's name.
void uiDescription(const char *uiBinary) {
    std::printf(
        "\n<%s%s>\n    a ui:X11UI ;\n    ui:binary <%s> ;\n"
        "    lv2:requiredFeature ui:idleInterface , ui:parent ;\n"
        "    lv2:optionalFeature ui:resize , opts:options ;\n"
        "    opts:supportedOption ui:scaleFactor ;\n"
        "    lv2:extensionData ui:idleInterface ;\n"
        "    ui:portNotification [\n        ui:plugin <%s> ;\n"
        "        lv2:symbol \"level\" ;\n        ui:protocol ui:floatProtocol\n    ] , [\n"
        "        ui:plugin <%s> ;\n"
        "        lv2:symbol \"notify\" ;\n        ui:protocol atom:eventTransfer\n    ] .\n",
        kPluginUri, kUiFragment, uiBinary, kPluginUri, kPluginUri);
}

void manifest(const char *binary, const char *uiBinary) {
    std::printf("%s<%s>\n    a lv2:Plugin ;\n    lv2:binary <%s> ;\n", kPrefixes, kPluginUri,
                binary);
    if (uiBinary)
        std::printf("    ui:ui <%s%s> ;\n", kPluginUri, kUiFragment);
    std::printf("    rdfs:seeAlso <ondrilux.ttl> .\n");
    if (uiBinary)
        uiDescription(uiBinary);
    for (const Preset &p : kPresets)
        std::printf("\n<%s#%s>\n    a pset:Preset ;\n    lv2:appliesTo <%s> ;\n"
                    "    rdfs:seeAlso <presets.ttl> .\n",
                    kPluginUri, p.id, kPluginUri);
}

void presets() {
    std::printf("%s", kPrefixes);
    for (const Preset &p : kPresets) {
        std::printf("<%s#%s>\n    a pset:Preset ;\n    lv2:appliesTo <%s> ;\n"
                    "    rdfs:label \"%s\" ;\n    lv2:port",
                    kPluginUri, p.id, kPluginUri, p.label);
        for (size_t i = 0; i < kPresetPorts; ++i)
            std::printf("%s[ lv2:symbol \"%s\" ; pset:value %d ]", i == 0 ? " " : " ,\n        ",
                        kControlPorts[i].symbol, p.values[i]);
        std::printf(" .\n\n");
    }
}

void controlPort(const ControlPort &c) {
    std::printf("    a lv2:InputPort , lv2:ControlPort ;\n"
                "    lv2:index %u ;\n"
                "    lv2:symbol \"%s\" ;\n"
                "    lv2:name \"%s\" ;\n"
                "    lv2:default %d ;\n"
                "    lv2:minimum %d ;\n"
                "    lv2:maximum %d ;\n",
                c.index, c.symbol, c.name, c.range.initial, c.range.min, c.range.max);
    if (isToggle(c.index)) {
        std::printf("    lv2:portProperty lv2:toggled ;\n");
    } else {
        std::printf("    lv2:portProperty lv2:integer");
        if (c.index == kOperationPort) {
            std::printf(" , lv2:enumeration ;\n    lv2:scalePoint");
            for (int32_t op = 1; op <= kOperationCount; ++op)
                std::printf("%s [ rdfs:label \"%s\" ; rdf:value %d ]",
                            op == 1 ? " " : " ,\n        ", operationName(op).shortName, op);
        }
        if (c.index == kChannelPort)
            std::printf(" ;\n    lv2:scalePoint [ rdfs:label \"All\" ; rdf:value 0 ]");
        std::printf(" ;\n");
    }
    std::printf("] , [\n");
}

// The notify port's room: both files' paths and the tuning's name at once.
constexpr size_t kNotifySequenceBytes = 16384;

// A property of the tuning: its Scala files, which hosts show as file
// choosers and the plugin reads when they are set, and the tuning's name.
void tuningProperty(const char *uri, const char *label, const char *range) {
    std::printf("\n<%s>\n    a lv2:Parameter ;\n    rdfs:label \"%s\" ;\n    rdfs:range %s .\n",
                uri, label, range);
}

void plugin() {
    std::printf("%s<%s>\n"
                "    a lv2:Plugin , lv2:InstrumentPlugin , doap:Project ;\n"
                "    doap:name \"Ondrilux\" ;\n"
                "    doap:license <http://spdx.org/licenses/GPL-3.0-or-later> ;\n"
                "    doap:maintainer [ foaf:name \"Ondrilux maintainers\" ; "
                "foaf:mbox <mailto:maintainers@ondrilux.org> ] ;\n"
                "    rdfs:comment \"A monophonic synthesizer that shapes a sine wave with bit "
                "operations.\" ;\n"
                "    lv2:minorVersion %d ;\n"
                "    lv2:microVersion %d ;\n"
                "    lv2:requiredFeature urid:map ;\n"
                "    lv2:optionalFeature lv2:hardRTCapable , work:schedule , state:mapPath ;\n"
                "    lv2:extensionData state:interface , work:interface ;\n"
                "    patch:writable <%s> , <%s> ;\n"
                "    patch:readable <%s> ;\n"
                "    lv2:port [\n"
                "    a lv2:InputPort , atom:AtomPort ;\n"
                "    atom:bufferType atom:Sequence ;\n"
                "    atom:supports midi:MidiEvent , patch:Message ;\n"
                "    lv2:designation lv2:control ;\n"
                "    lv2:index %u ;\n"
                "    lv2:symbol \"midi_in\" ;\n"
                "    lv2:name \"MIDI in\" ;\n"
                "] , [\n"
                "    a lv2:OutputPort , lv2:AudioPort ;\n"
                "    lv2:index %u ;\n"
                "    lv2:symbol \"out\" ;\n"
                "    lv2:name \"Out\" ;\n"
                "] , [\n",
                kPrefixes, kPluginUri, kLv2MinorVersion, kLv2MicroVersion, kScaleUri,
                kKeyboardMapUri, kTuningNameUri, kMidiInPort, kOutPort);
    for (const ControlPort &c : kControlPorts)
        controlPort(c);
    std::printf("    a lv2:OutputPort , lv2:ControlPort ;\n"
                "    lv2:index %u ;\n"
                "    lv2:symbol \"latency\" ;\n"
                "    lv2:name \"Latency\" ;\n"
                "    lv2:designation lv2:latency ;\n"
                "    lv2:portProperty lv2:reportsLatency ;\n"
                "    lv2:minimum 0 ;\n"
                "    lv2:maximum 1024 ;\n"
                "    lv2:default 0 ;\n"
                "] , [\n"
                "    a lv2:OutputPort , lv2:ControlPort ;\n"
                "    lv2:index %u ;\n"
                "    lv2:symbol \"level\" ;\n"
                "    lv2:name \"Level\" ;\n"
                "    lv2:minimum 0 ;\n"
                "    lv2:maximum 1 ;\n"
                "    lv2:default 0 ;\n"
                "] , [\n"
                "    a lv2:OutputPort , atom:AtomPort ;\n"
                "    atom:bufferType atom:Sequence ;\n"
                "    atom:supports patch:Message ;\n"
                "    lv2:designation lv2:control ;\n"
                "    rsz:minimumSize %zu ;\n"
                "    lv2:index %u ;\n"
                "    lv2:symbol \"notify\" ;\n"
                "    lv2:name \"Notify\" ;\n"
                "] .\n",
                kLatencyPort, kLevelPort, kNotifySequenceBytes, kNotifyPort);
    tuningProperty(kScaleUri, "Scale (.scl)", "atom:Path");
    tuningProperty(kKeyboardMapUri, "Keyboard map (.kbm)", "atom:Path");
    tuningProperty(kTuningNameUri, "Tuning", "atom:String");
}

} // namespace

int main(int argc, char **argv) {
    const char *file = argc > 1 ? argv[1] : "";
    if (std::strcmp(file, "manifest") == 0 && argc > 2)
        manifest(argv[2], argc > 3 ? argv[3] : nullptr);
    else if (std::strcmp(file, "plugin") == 0)
        plugin();
    else if (std::strcmp(file, "presets") == 0)
        presets();
    else {
        std::fprintf(stderr,
                     "usage: describe_plugin manifest BINARY [UI_BINARY] | plugin | presets\n");
        return 2;
    }
    return 0;
}
