#pragma once

#include <atomic>
#include <bit>
#include <cstdint>

// The player's acts on the panel (grab a control, move it, let go) on their
// way from the main thread to process or flush, which send them to the host
// as CLAP's GESTURE_BEGIN, PARAM_VALUE and GESTURE_END in the order they
// happened. One writer (the main thread) and one reader (process or flush,
// which never run at once); neither ever waits.
//
// A full queue never leaves the host a gesture unpaired: room for the end of
// every gesture begun is kept, so an end always goes in; a begin goes in only
// with room for its end beside it, and a gesture whose begin found no room
// sends its moves as plain values and no end. A move that finds no room waits
// on the writer's side and goes in, at its latest value, with the writer's
// next act or retry().
enum class GestureKind : uint8_t { begin, value, end };

struct GestureAct {
    GestureKind kind;
    uint32_t port;
    double value; // for a value
};

template <uint32_t Capacity> class GestureQueue {
  public:
    static constexpr uint32_t kMaxPorts = 32;

    // The writer's side.
    void begin(uint32_t port) {
        const uint32_t bit = 1u << port;
        retry();
        if (open_ & bit)
            return;
        if (room() >= openCount() + 2) {
            push({GestureKind::begin, port, 0.0});
            open_ |= bit;
        }
    }
    void value(uint32_t port, double v) {
        waiting_ |= 1u << port;
        latest_[port] = v;
        retry();
    }
    void end(uint32_t port) {
        const uint32_t bit = 1u << port;
        retry();
        if (open_ & bit)
            push({GestureKind::end, port, 0.0});
        open_ &= ~bit;
    }
    // The moves that found the queue full, in as far as there is room now.
    void retry() {
        while (waiting_ && room() > openCount()) {
            const auto port = static_cast<uint32_t>(std::countr_zero(waiting_));
            push({GestureKind::value, port, latest_[port]});
            waiting_ &= waiting_ - 1;
        }
    }
    bool anyWaiting() const { return waiting_ != 0; }

    // The reader's side: hands each act in order to `send` until it returns
    // false (the host took no more); that act stays for the next time.
    template <typename Send> void drain(Send &&send) {
        uint32_t at = read_.load(std::memory_order_acquire);
        for (const uint32_t end = written_.load(std::memory_order_acquire); at != end; ++at) {
            if (!send(acts_[at % Capacity]))
                break;
            read_.store(at + 1, std::memory_order_release);
        }
    }

  private:
    uint32_t room() const {
        return Capacity -
               (written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
    }
    uint32_t openCount() const { return static_cast<uint32_t>(std::popcount(open_)); }
    void push(const GestureAct &act) {
        const uint32_t at = written_.load(std::memory_order_relaxed);
        acts_[at % Capacity] = act;
        written_.store(at + 1, std::memory_order_release);
    }

    GestureAct acts_[Capacity] = {};
    std::atomic<uint32_t> written_ = 0, read_ = 0; // acts written and read so far
    // The writer's own: gestures begun in the queue and not yet ended, and
    // the moves waiting for room with their latest values, a bit per port.
    uint32_t open_ = 0, waiting_ = 0;
    double latest_[kMaxPorts] = {};
};
