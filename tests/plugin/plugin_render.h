#pragma once

// Playing MIDI through the plugin in a lilv host, block by block, and the
// engine's render of the same messages at the same frames to compare with.
#include "tests/support/lv2_host.h"

#include "command_line/sound_options.h"
#include "plugins/lv2/plugin_uri.h"
#include "plugins/controls/control_ports.h"

#include <cstdint>
#include <string>
#include <vector>

inline const std::string kLv2Path = ONDRILUX_LV2_PATH;
inline constexpr double kEngineRate = 48000.0;

// One MIDI event at a frame of the whole take (several messages may share it).
struct Event {
    uint32_t frame;
    std::vector<uint8_t> bytes;
};

// The port symbols of the sound's controls, as SoundOptions holds them.
inline constexpr const char *kSoundSymbols[] = {"operation", "static_value", "attack",
                                                "decay",     "sustain",      "release",
                                                "range_top", "range_bottom"};

// Sets the plugin's controls to `sound`, quick start included.
void setSound(Lv2Instance &p, const SoundOptions &sound);

// Plays `events` (in frame order) through the plugin into `out`, one block at
// a time; each block carries the events that fall in it, a block of 0 frames
// those at its frame.
class Player {
  public:
    Player(Lv2Instance &p, const std::vector<Event> &events, uint32_t frames)
        : out(frames), p_(p), events_(events) {}
    // Runs the next block, `frames` long or what is left; no allocation.
    void block(uint32_t frames);
    bool done() const { return position_ == out.size(); }
    std::vector<float> out;

  private:
    Lv2Instance &p_;
    const std::vector<Event> &events_;
    size_t position_ = 0, next_ = 0;
};

// The whole take in blocks whose lengths cycle through `blocks`.
std::vector<float> play(Lv2Instance &p, const std::vector<Event> &events, uint32_t frames,
                        const std::vector<uint32_t> &blocks);

// A control set at a frame of the whole take: a CLAP parameter event there, an
// LV2 port set for the block that starts there.
struct Automation {
    uint32_t frame;
    const char *symbol;
    float value;
};

// The LV2 plugin in blocks of `block` frames, ending also where a control is set.
std::vector<float> play(Lv2Instance &p, const std::vector<Event> &events,
                        const std::vector<Automation> &automation, uint32_t frames, uint32_t block);

// The engine, prepared with `sound`, fed the same events at the same frames
// (system exclusive too, as ondrilux-render --expressive plays a file's).
std::vector<float> engineRender(const SoundOptions &sound, const std::vector<Event> &events,
                                uint32_t frames);

// A Scala scale (19 equal steps an octave, in cents) and a keyboard map (A4
// at 432 Hz) written to a folder `name` of the tests' output (emptied first,
// with its "-moved" twin), and the tuning ondrilux-render makes of them with
// --scale and --keyboard-map.
struct ScalaFilesOnDisk {
    std::string folder, scale, keyboardMap, scaleText, keyboardMapText;
    Tuning tuning;
};
ScalaFilesOnDisk writeScalaFiles(const std::string &name);
inline constexpr const char *kNineteenTone = "19 equal divisions of the octave";

// The first sample whose bits differ (or where one ends), -1 if none.
long firstDifference(const std::vector<float> &a, const std::vector<float> &b);
double rms(const std::vector<float> &samples, size_t from, size_t to);
