#include "tests/plugin/plugin_render.h"
#include "tests/support/desktop.h"

#include "engine_driving/engine_driving.h"
#include "midi/note_handling.h"
#include "midi/short_messages.h"
#include "midi/tuning_messages.h"

#include "tuning_files/scala_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

void setSound(Lv2Instance &p, const SoundOptions &sound) {
    const int32_t values[] = {sound.operation,      sound.staticValue,    sound.sliders.attack,
                              sound.sliders.decay,  sound.sliders.sustain, sound.sliders.release,
                              sound.rangeTop,       sound.rangeBottom};
    for (size_t i = 0; i < std::size(values); ++i)
        p.control(kSoundSymbols[i]) = static_cast<float>(values[i]);
    p.control("quick_start") = sound.quickStart ? 1.0f : 0.0f;
}

void Player::block(uint32_t frames) {
    frames = std::min<uint32_t>(frames, static_cast<uint32_t>(out.size() - position_));
    p_.clearEvents();
    for (; next_ < events_.size(); ++next_) {
        const Event &e = events_[next_];
        if (e.frame >= position_ + frames && !(frames == 0 && e.frame == position_))
            break;
        p_.addEvent(static_cast<int64_t>(e.frame - position_), e.bytes.data(),
                    static_cast<uint32_t>(e.bytes.size()));
    }
    p_.run(out.data() + position_, frames);
    position_ += frames;
}

std::vector<float> play(Lv2Instance &p, const std::vector<Event> &events, uint32_t frames,
                        const std::vector<uint32_t> &blocks) {
    Player player(p, events, frames);
    for (size_t b = 0; !player.done(); ++b)
        player.block(blocks[b % blocks.size()]);
    return std::move(player.out);
}

std::vector<float> play(Lv2Instance &p, const std::vector<Event> &events,
                        const std::vector<Automation> &automation, uint32_t frames,
                        uint32_t block) {
    Player player(p, events, frames);
    size_t next = 0;
    for (uint32_t position = 0; !player.done();) {
        for (; next < automation.size() && automation[next].frame <= position; ++next)
            p.control(automation[next].symbol) = automation[next].value;
        uint32_t end = std::min(position / block * block + block, frames);
        if (next < automation.size())
            end = std::min(end, automation[next].frame);
        player.block(end - position);
        position = end;
    }
    return std::move(player.out);
}

std::vector<float> engineRender(const SoundOptions &sound, const std::vector<Event> &events,
                                uint32_t frames) {
    auto engine = std::make_unique<DrivenEngine>();
    prepareEngine(*engine, sound);
    std::vector<float> out(frames);
    renderAroundEvents(
        *engine, out.data(), frames, static_cast<uint32_t>(events.size()),
        [&](uint32_t i) { return events[i].frame; },
        [&](uint32_t i) {
            forEachMidiMessage(
                events[i].bytes.data(), events[i].bytes.size(),
                [&](uint32_t message) { onMidiInput(engine->state, kMidiInData, message); },
                [&](const uint8_t *message, size_t size) {
                    onSystemExclusive(engine->state, message, size);
                });
        });
    return out;
}

ScalaFilesOnDisk writeScalaFiles(const std::string &name) {
    ScalaFilesOnDisk f;
    f.folder = testOutDir() + "/" + name;
    std::filesystem::remove_all(f.folder);
    std::filesystem::remove_all(f.folder + "-moved");
    std::filesystem::create_directories(f.folder);
    f.scaleText = "! 19-edo.scl\n" + std::string(kNineteenTone) + "\n 19\n!\n";
    for (int step = 1; step < 19; ++step)
        f.scaleText += " " + std::to_string(1200.0 * step / 19) + "\n";
    f.scaleText += " 2/1\n";
    f.keyboardMapText = "! size, keys, middle, reference and its Hz, octave degree\n"
                        "0\n0\n127\n60\n69\n432.0\n19\n";
    f.scale = f.folder + "/19-edo.scl";
    f.keyboardMap = f.folder + "/a432.kbm";
    std::ofstream(f.scale) << f.scaleText;
    std::ofstream(f.keyboardMap) << f.keyboardMapText;
    std::string error;
    EXPECT_TRUE(readTuningFiles(f.scale, f.keyboardMap, f.tuning, error)) << error;
    return f;
}

long firstDifference(const std::vector<float> &a, const std::vector<float> &b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0)
            return static_cast<long>(i);
    return a.size() == b.size() ? -1 : static_cast<long>(n);
}

double rms(const std::vector<float> &samples, size_t from, size_t to) {
    to = std::min(to, samples.size());
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(samples[i]) * samples[i];
    return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}
