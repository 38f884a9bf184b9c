#pragma once

// A JACK client that plays MIDI into the program and records the program's
// audio in the same process cycle, so both share one clock: a note-on's frame
// and the frame of the first sound it causes can be compared exactly.
#include <jack/jack.h>

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One message of a script: where in its period it goes (a fraction of the
// period), and the pause after it (0: the next message goes in the same period).
struct TimedMessage {
    std::vector<uint8_t> bytes;
    double offset;
    int pauseMs;
};

class JackProbe {
  public:
    // Opens the client `name` with one MIDI output port per entry of
    // `midiPorts` and the audio input "in", which keeps `recordSeconds` of
    // what it hears. `server` empty: the one JACK_DEFAULT_SERVER names.
    JackProbe(const std::string &name, const std::vector<std::string> &midiPorts,
              double recordSeconds = 0.0, const std::string &server = "");
    ~JackProbe();
    JackProbe(const JackProbe &) = delete;
    JackProbe &operator=(const JackProbe &) = delete;

    bool ok() const { return client_ != nullptr; }
    // The server went away under the client.
    bool serverGone() const { return serverGone_.load(); }
    // Cycles the server reported late (xruns), and cycles skipped while
    // recording, since the probe opened. A take with any shows the machine
    // falling behind (the suite runs under sanitizers too), not what a
    // program plays.
    int xruns() const { return xruns_.load(); }
    // Leaves the server: the ports vanish as a device unplugged does.
    void close();
    std::string midiPortName(int port) const;
    int sampleRate() const { return sampleRate_; }
    int bufferSize() const { return bufferSize_; }

    // The audio output ports of process `pid` (ALSA's jack plugin names its
    // client after the process).
    std::vector<std::string> programOutputs(pid_t pid) const;
    // The first of them; "" when none shows up in `seconds`.
    std::string programOutput(pid_t pid, int seconds) const;
    // Input ports of `pid`'s MIDI input connected to our MIDI port `port`.
    bool programListens(int port) const;
    // Waits until it does, `seconds` at most; whether it does.
    bool waitListening(int port, int seconds = 10) const;
    bool listenTo(const std::string &outputPort);
    // Connects our MIDI port `port` to a program's MIDI input port.
    bool playInto(int port, const std::string &inputPort);
    // Connections made to our MIDI ports so far: one per opening of one of
    // them as the program's input device.
    int midiConnections() const { return midiConnections_.load(); }

    // Sends one event of up to 8 bytes in the next cycle, `offset` frames into it (within
    // one cycle, offsets must not decrease from one message to the next).
    bool send(int port, std::vector<uint8_t> bytes, uint32_t offset = 0);
    // The frame at which the probe's message number `index` (counting every
    // send from 0) went out, once sentCount() is past it.
    uint32_t sentFrame(uint64_t index) const { return queue_[index % kQueueSize].frame; }
    void noteOn(int port, int note) { send(port, {0x90, static_cast<uint8_t>(note), 100}); }
    void noteOff(int port, int note) { send(port, {0x80, static_cast<uint8_t>(note), 0}); }
    // Messages the process cycle has written so far.
    uint64_t sentCount() const { return sent_.load(); }
    // Waits until everything sent has gone out; returns the frame it went at.
    uint32_t waitSent(uint64_t count) const;

    // Plays `script` into port 0 and records the answer with the server
    // freewheeling (JACK runs the graph as fast as its clients go, with no
    // timer), so that no scheduler's delay can cost a cycle: the take is the
    // same on a busy machine as on an idle one. With `freewheel` false (PipeWire's
    // JACK layer freewheels its own way) it plays in real time. The first message goes about
    // 0.1 s into the recording, each pause is whole periods, and `tailFrames`
    // are recorded after the last; returns the recording's length, the
    // frames (sentFrame) of the messages in `frames`.
    size_t playFreewheeling(const std::vector<TimedMessage> &script, size_t tailFrames,
                            std::vector<uint32_t> &frames, bool freewheel = true);

    // A flood of `perSecond` messages on each port in `portMask`: notes on all
    // channels (on channel 1 always one or two keys held, so the sound never
    // stops), clock, active sensing, controllers, pitch bend, pressure and
    // program changes.
    void startFlood(int perSecond, unsigned portMask = 1);
    // Ends the flood with the note-offs of the keys still held; returns the
    // frame of the cycle that sent them.
    uint32_t stopFlood();
    uint64_t floodSent() const { return floodSent_.load(); }
    uint64_t floodRefused() const { return floodRefused_.load(); }

    // The recording: sample i belongs to frame recordStart() + i; cycles the
    // server skipped stay zero.
    void startRecording();
    void stopRecording() { recording_.store(false); }
    // Waits until `frames` more samples than now are recorded (20 s at most).
    void waitRecorded(size_t frames) const;
    uint32_t recordStart() const { return recordStart_.load(); }
    size_t recordedCount() const { return recorded_.load(std::memory_order_acquire); }
    const float *samples() const { return buffer_.get(); }
    // Index of the first sample from `from` on whose magnitude exceeds
    // `threshold`; -1 when none has been recorded yet.
    long firstLoud(size_t from, float threshold = 0.0f) const;
    // Index just after the last loud sample in [from, recordedCount()).
    size_t endOfSound(size_t from, float threshold = 0.0f) const;
    // Root mean square of the samples in [from, to), `to` cut to what is recorded.
    double rms(size_t from, size_t to) const;

  private:
    bool queue(int port, std::vector<uint8_t> bytes, uint32_t offset, int64_t at);
    static int process(jack_nframes_t frames, void *self);
    static void shutdown(void *self);
    static int xrun(void *self);
    static void connected(jack_port_id_t a, jack_port_id_t b, int connect, void *self);
    void emitFlood(int port, void *buffer, jack_nframes_t frames, int count);

    struct Message {
        uint8_t port, size, bytes[16]; // a short tuning message fits
        uint32_t offset, frame;
        int64_t at; // frame of the recording it goes at; -1: the next cycle, at `offset`
    };
    static constexpr size_t kQueueSize = 4096;
    static constexpr int kMaxPorts = 4;
    // The held keys of channel 1 and the position in the message pattern.
    struct FloodState {
        uint64_t counter = 0;
        uint8_t held[2] = {0, 0};
        int heldCount = 0;
        uint8_t lastNote = 0;
        double owed = 0.0;
    };

    jack_client_t *client_ = nullptr;
    std::vector<jack_port_t *> midiPorts_;
    jack_port_t *input_ = nullptr;
    int sampleRate_ = 48000, bufferSize_ = 256;

    Message queue_[kQueueSize];
    std::atomic<size_t> queueHead_{0}, queueTail_{0};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint32_t> lastSentFrame_{0};

    std::atomic<int> floodRate_{0};
    std::atomic<unsigned> floodMask_{0};
    std::atomic<bool> floodStopRequested_{false}, floodStopped_{true};
    std::atomic<uint32_t> floodStopFrame_{0};
    std::atomic<uint64_t> floodSent_{0}, floodRefused_{0};
    FloodState flood_[kMaxPorts];

    std::unique_ptr<float[]> buffer_;
    size_t capacity_ = 0;
    std::atomic<bool> recording_{false};
    std::atomic<uint32_t> recordStart_{0};
    std::atomic<size_t> recorded_{0};

    std::atomic<bool> serverGone_{false};
    std::atomic<int> xruns_{0};
    std::atomic<int> midiConnections_{0};
};

// The name the test services set aside for a test's own server: a name from
// their fixed set, so that a killed server's registry entry is taken back by
// the next run (JACK's registry has room for only 8 servers).
std::string spareServerName();

// A JACK server of the test's own on the dummy driver, under the spare name,
// so that killing it or running it at another period or rate spares the
// shared one. Stopped with SIGTERM and waited for when it goes.
class PrivateJackServer {
  public:
    explicit PrivateJackServer(const std::string &logPath, int period = 256, int rate = 48000);
    ~PrivateJackServer() { kill(SIGTERM); }
    PrivateJackServer(const PrivateJackServer &) = delete;
    PrivateJackServer &operator=(const PrivateJackServer &) = delete;
    // Whether clients can connect within `seconds`.
    bool up(int seconds) const;
    void kill(int signal);
    const std::string &name() const { return name_; }

  private:
    pid_t run() const;
    void reclaim() const;
    void removeLeftovers() const;

    std::string name_, logPath_;
    int period_, rate_;
    pid_t pid_ = -1;
};
