// How one MIDI event's bytes split into short and system-exclusive messages.
#include "midi/short_messages.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Case {
    const char *what;
    std::vector<uint8_t> event;
    std::vector<uint32_t> delivered;
    std::vector<size_t> exclusive = {}; // the sizes of whole system-exclusive messages
};

TEST(ShortMessages, SplitByTheMidiRules) {
    const Case cases[] = {
        {"note-on", {0x90, 60, 100}, {shortMessage(0x90, 60, 100)}},
        {"program change and channel pressure have one data byte",
         {0xC3, 5, 0xD3, 7},
         {shortMessage(0xC3, 5), shortMessage(0xD3, 7)}},
        {"running status",
         {0x90, 60, 100, 62, 0},
         {shortMessage(0x90, 60, 100), shortMessage(0x90, 62, 0)}},
        {"clock and active sensing", {0xF8}, {shortMessage(0xF8)}},
        {"real time inside a message",
         {0x90, 60, 0xF8, 100},
         {shortMessage(0xF8), shortMessage(0x90, 60, 100)}},
        {"complete system exclusive", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {}, {6}},
        {"two system exclusive", {0xF0, 1, 0xF7, 0xF0, 2, 3, 0xF7}, {}, {3, 4}},
        {"unterminated system exclusive", {0xF0, 0x41, 0x10}, {}},
        {"a status byte ends system exclusive",
         {0xF0, 0x41, 0x10, 0x90, 69, 100},
         {shortMessage(0x90, 69, 100)}},
        {"system exclusive ends running status",
         {0x90, 60, 100, 0xF0, 0x41, 0x10, 0xF7, 62, 0},
         {shortMessage(0x90, 60, 100)},
         {4}},
        {"real time inside system exclusive", {0xF0, 0x41, 0xFE, 0x10, 0xF7}, {shortMessage(0xFE)}},
        {"a fragment's continuation", {0x41, 0x10, 0xF7}, {}},
        {"a message cut short", {0x90, 60, 0x80, 60, 0}, {shortMessage(0x80, 60, 0)}},
        {"song position, then no running status", {0xF2, 1, 2, 3, 4}, {shortMessage(0xF2, 1, 2)}},
        {"song select and time code: one data byte",
         {0xF3, 5, 0xF1, 3},
         {shortMessage(0xF3, 5), shortMessage(0xF1, 3)}},
        {"tune request", {0xF6}, {shortMessage(0xF6)}},
        {"nothing", {}, {}},
    };
    for (const Case &c : cases) {
        std::vector<uint32_t> delivered;
        std::vector<size_t> exclusive;
        forEachMidiMessage(
            c.event.data(), c.event.size(), [&](uint32_t message) { delivered.push_back(message); },
            [&](const uint8_t *bytes, size_t size) {
                exclusive.push_back(bytes[size - 1] == 0xF7 ? size : 0);
            });
        EXPECT_EQ(delivered, c.delivered) << c.what;
        EXPECT_EQ(exclusive, c.exclusive) << c.what;
    }
}

} // namespace
