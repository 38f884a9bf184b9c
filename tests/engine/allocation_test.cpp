// Counts heap allocations made by this thread while a flag is up, by replacing
// the global allocation functions of the test executable.
#include "engine_fixture.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;
} // namespace

void *operator new(std::size_t size) {
    if (counting)
        ++allocations;
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using Allocation = EngineTest;

TEST_F(Allocation, RenderingAndNoteHandlingNeverAllocate) {
    static EnvelopeSliders sliders{200, 300, 40, 200};
    setEnvelopeSliderSource([] { return sliders; });
    setGateTextSink([](const char *) {});
    std::vector<float> buffer(4096);

    counting = true;
    for (int op = 1; op <= 13; ++op) {
        synthState.operation.set(op);
        onMidiInput(kMidiInData, shortMessage(0x90, 50 + op, 100));
        renderCallback(nullptr, buffer.data(), buffer.size(), nullptr, 0, nullptr);
        onMidiInput(kMidiInData, shortMessage(0x90, 60 + op, 100));
        renderCallback(nullptr, buffer.data(), 1000, nullptr, 0, nullptr);
        onMidiInput(kMidiInData, shortMessage(0x80, 60 + op, 0));
        onMidiInput(kMidiInData, shortMessage(0x80, 50 + op, 0));
        onMidiInput(kMidiInClose, 0);
        renderCallback(nullptr, buffer.data(), buffer.size(), nullptr, 0, nullptr);
    }
    counting = false;

    EXPECT_EQ(allocations, 0);
    // The counter itself works.
    static int *volatile probe;
    counting = true;
    probe = new int(1);
    counting = false;
    delete probe;
    EXPECT_EQ(allocations, 1);
}

} // namespace
