#include "tests/support/jack_probe.h"

#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

void sleepMillis(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

JackProbe::JackProbe(const std::string &name, const std::vector<std::string> &midiPorts,
                     double recordSeconds, const std::string &server) {
    jack_status_t status{};
    const int options =
        JackNoStartServer | JackUseExactName | (server.empty() ? 0 : JackServerName);
    client_ = server.empty()
                  ? jack_client_open(name.c_str(), static_cast<jack_options_t>(options), &status)
                  : jack_client_open(name.c_str(), static_cast<jack_options_t>(options), &status,
                                     server.c_str());
    if (!client_)
        return;
    sampleRate_ = static_cast<int>(jack_get_sample_rate(client_));
    bufferSize_ = static_cast<int>(jack_get_buffer_size(client_));
    for (const std::string &port : midiPorts) {
        if (midiPorts_.size() == kMaxPorts)
            break;
        midiPorts_.push_back(
            jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0));
    }
    input_ = jack_port_register(client_, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    capacity_ = static_cast<size_t>(std::ceil(recordSeconds * sampleRate_));
    buffer_ = std::make_unique<float[]>(capacity_ + 1);
    jack_set_process_callback(client_, process, this);
    jack_on_shutdown(client_, shutdown, this);
    jack_set_xrun_callback(client_, xrun, this);
    jack_set_port_connect_callback(client_, connected, this);
    // What the probe sends does not come from what it hears: its ports keep
    // latency 0. Without a callback of its own JACK would carry the latency
    // heard on "in" over to the MIDI ports, round and round the loop through
    // the program.
    jack_set_latency_callback(client_, [](jack_latency_callback_mode_t, void *) {}, nullptr);
    if (jack_activate(client_) != 0) {
        jack_client_close(client_);
        client_ = nullptr;
    }
}

JackProbe::~JackProbe() {
    close();
}

void JackProbe::close() {
    if (!client_)
        return;
    if (!serverGone_.load())
        jack_deactivate(client_);
    jack_client_close(client_);
    client_ = nullptr;
}

std::string JackProbe::midiPortName(int port) const {
    if (!client_ || port < 0 || static_cast<size_t>(port) >= midiPorts_.size())
        return "";
    return jack_port_name(midiPorts_[static_cast<size_t>(port)]);
}

std::vector<std::string> JackProbe::programOutputs(pid_t pid) const {
    std::vector<std::string> found;
    if (!client_)
        return found;
    const std::string mark = "." + std::to_string(pid) + ".";
    const char **ports =
        jack_get_ports(client_, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    for (const char **p = ports; p && *p; ++p)
        if (std::strstr(*p, mark.c_str()))
            found.push_back(*p);
    jack_free(ports);
    return found;
}

std::string JackProbe::programOutput(pid_t pid, int seconds) const {
    for (int i = 0; client_ && i < seconds * 20; ++i) {
        const std::vector<std::string> ports = programOutputs(pid);
        if (!ports.empty())
            return ports.front();
        sleepMillis(50);
    }
    return "";
}

bool JackProbe::programListens(int port) const {
    return client_ && port >= 0 && static_cast<size_t>(port) < midiPorts_.size() &&
           jack_port_connected(midiPorts_[static_cast<size_t>(port)]) > 0;
}

bool JackProbe::waitListening(int port, int seconds) const {
    for (int i = 0; i < seconds * 20 && !programListens(port); ++i)
        sleepMillis(50);
    return programListens(port);
}

bool JackProbe::listenTo(const std::string &outputPort) {
    return client_ && jack_connect(client_, outputPort.c_str(), jack_port_name(input_)) == 0;
}

bool JackProbe::playInto(int port, const std::string &inputPort) {
    const std::string name = midiPortName(port);
    return !name.empty() && jack_connect(client_, name.c_str(), inputPort.c_str()) == 0;
}

bool JackProbe::send(int port, std::vector<uint8_t> bytes, uint32_t offset) {
    return queue(port, std::move(bytes), offset, -1);
}

bool JackProbe::queue(int port, std::vector<uint8_t> bytes, uint32_t offset, int64_t at) {
    const size_t tail = queueTail_.load(std::memory_order_relaxed);
    const size_t next = (tail + 1) % kQueueSize;
    if (next == queueHead_.load(std::memory_order_acquire) || bytes.empty() ||
        bytes.size() > sizeof(Message::bytes))
        return false;
    Message &m = queue_[tail];
    m.port = static_cast<uint8_t>(port);
    m.size = static_cast<uint8_t>(bytes.size());
    m.offset = offset;
    m.at = at;
    std::memcpy(m.bytes, bytes.data(), bytes.size());
    queueTail_.store(next, std::memory_order_release);
    return true;
}

uint32_t JackProbe::waitSent(uint64_t count) const {
    for (int i = 0; i < 2000 && sent_.load() < count && !serverGone_.load(); ++i)
        sleepMillis(1);
    return lastSentFrame_.load();
}

size_t JackProbe::playFreewheeling(const std::vector<TimedMessage> &script, size_t tailFrames,
                                   std::vector<uint32_t> &frames, bool freewheel) {
    frames.clear();
    if (!client_)
        return 0;
    const bool freewheeling = freewheel && jack_set_freewheel(client_, 1) == 0;
    const uint64_t first = sent_.load();
    startRecording();
    const int64_t period = bufferSize_;
    int64_t periodStart = (sampleRate_ / 10 + period - 1) / period * period;
    for (const TimedMessage &m : script) {
        const auto offset = static_cast<uint32_t>(m.offset * static_cast<double>(period));
        queue(0, m.bytes, offset, periodStart + offset);
        const int64_t pause = (int64_t{m.pauseMs} * sampleRate_ / 1000 + period / 2) / period;
        if (m.pauseMs)
            periodStart += std::max<int64_t>(1, pause) * period;
    }
    const size_t end = std::min(static_cast<size_t>(periodStart) + tailFrames, capacity_);
    // Freewheeling, seconds of sound take a fraction of a second; 30 s at most.
    for (int i = 0; i < 6000 && recordedCount() < end && !serverGone_.load(); ++i)
        sleepMillis(5);
    stopRecording();
    if (freewheeling)
        jack_set_freewheel(client_, 0);
    waitSent(first + script.size());
    for (size_t i = 0; i < script.size(); ++i)
        frames.push_back(sentFrame(first + i));
    return std::min(end, recordedCount());
}

void JackProbe::startFlood(int perSecond, unsigned portMask) {
    floodStopRequested_.store(false);
    floodStopped_.store(false);
    floodMask_.store(portMask);
    floodRate_.store(perSecond);
}

uint32_t JackProbe::stopFlood() {
    floodStopRequested_.store(true);
    for (int i = 0; i < 2000 && !floodStopped_.load() && !serverGone_.load(); ++i)
        sleepMillis(1);
    return floodStopFrame_.load();
}

void JackProbe::startRecording() {
    recorded_.store(0);
    recording_.store(true);
}

void JackProbe::waitRecorded(size_t frames) const {
    const size_t until = recordedCount() + frames;
    for (int i = 0; i < 4000 && recordedCount() < until; ++i)
        sleepMillis(5);
}

long JackProbe::firstLoud(size_t from, float threshold) const {
    const size_t n = recordedCount();
    for (size_t i = from; i < n; ++i)
        if (std::fabs(buffer_[i]) > threshold)
            return static_cast<long>(i);
    return -1;
}

size_t JackProbe::endOfSound(size_t from, float threshold) const {
    size_t end = from;
    const size_t n = recordedCount();
    for (size_t i = from; i < n; ++i)
        if (std::fabs(buffer_[i]) > threshold)
            end = i + 1;
    return end;
}

double JackProbe::rms(size_t from, size_t to) const {
    to = std::min(to, recordedCount());
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(buffer_[i]) * buffer_[i];
    return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

// JACK's server thread, on server death.
void JackProbe::shutdown(void *self) {
    static_cast<JackProbe *>(self)->serverGone_.store(true);
}

int JackProbe::xrun(void *self) {
    static_cast<JackProbe *>(self)->xruns_.fetch_add(1);
    return 0;
}

// JACK's notification thread.
void JackProbe::connected(jack_port_id_t a, jack_port_id_t, int connect, void *self) {
    JackProbe &p = *static_cast<JackProbe *>(self);
    if (!connect || !p.client_)
        return;
    const jack_port_t *source = jack_port_by_id(p.client_, a);
    for (jack_port_t *port : p.midiPorts_)
        if (port == source)
            p.midiConnections_.fetch_add(1);
}

// One step of the flood's pattern per message, eight kinds in turn. Channel 1
// plays legato (a key goes down before the previous one comes up), so one or
// two keys are held throughout and the balance of ons and offs stays exact.
void JackProbe::emitFlood(int port, void *buffer, jack_nframes_t frames, int count) {
    FloodState &f = flood_[port];
    for (int i = 0; i < count; ++i) {
        const jack_nframes_t offset = static_cast<jack_nframes_t>(
            static_cast<uint64_t>(i) * frames / static_cast<uint64_t>(count));
        const uint64_t c = f.counter++;
        const uint8_t channel = static_cast<uint8_t>((c / 8) % 16);
        const uint8_t otherChannel = static_cast<uint8_t>(1 + (c / 8) % 15);
        const uint8_t value = static_cast<uint8_t>(c % 128);
        uint8_t m[3] = {0, 0, 0};
        size_t size = 3;
        switch (c % 8) {
        case 0:
            if (f.heldCount < 2) {
                const uint8_t note = static_cast<uint8_t>(48 + (c / 8) % 24);
                f.held[f.heldCount++] = note;
                m[0] = 0x90, m[1] = note, m[2] = static_cast<uint8_t>(1 + value % 127);
            } else {
                // Alternately a note-off and a note-on of velocity 0.
                const bool zeroVelocity = (c / 8) % 4 == 1;
                m[0] = zeroVelocity ? 0x90 : 0x80, m[1] = f.held[0], m[2] = 0;
                f.held[0] = f.held[1];
                f.heldCount = 1;
            }
            break;
        case 1:
            f.lastNote = static_cast<uint8_t>(value % 88 + 21);
            m[0] = static_cast<uint8_t>(0x90 | otherChannel), m[1] = f.lastNote, m[2] = 90;
            break;
        case 2:
            m[0] = static_cast<uint8_t>(0x80 | otherChannel), m[1] = f.lastNote, m[2] = 64;
            break;
        case 3:
            m[0] = 0xF8, size = 1;
            break;
        case 4:
            m[0] = 0xFE, size = 1;
            break;
        case 5:
            m[0] = static_cast<uint8_t>(0xB0 | channel), m[1] = static_cast<uint8_t>(c % 120);
            m[2] = value;
            break;
        case 6:
            m[0] = static_cast<uint8_t>(0xE0 | channel), m[1] = value;
            m[2] = static_cast<uint8_t>(127 - value);
            break;
        default:
            // Two-byte messages: channel pressure and program change.
            m[0] = static_cast<uint8_t>(((c / 8) % 2 ? 0xD0 : 0xC0) | channel), m[1] = value;
            size = 2;
            break;
        }
        if (jack_midi_event_write(buffer, offset, m, size) == 0)
            floodSent_.fetch_add(1, std::memory_order_relaxed);
        else
            floodRefused_.fetch_add(1, std::memory_order_relaxed);
    }
}

// JACK's process thread: no allocation, no lock.
int JackProbe::process(jack_nframes_t frames, void *self) {
    JackProbe &p = *static_cast<JackProbe *>(self);
    const uint32_t now = jack_last_frame_time(p.client_);

    void *buffers[kMaxPorts] = {};
    for (size_t i = 0; i < p.midiPorts_.size(); ++i) {
        buffers[i] = jack_port_get_buffer(p.midiPorts_[i], frames);
        jack_midi_clear_buffer(buffers[i]);
    }

    size_t head = p.queueHead_.load(std::memory_order_relaxed);
    const size_t tail = p.queueTail_.load(std::memory_order_acquire);
    uint64_t written = 0;
    // Where this cycle lies in the recording; messages for later frames wait.
    const bool recording = p.recording_.load() && p.recorded_.load(std::memory_order_relaxed) > 0;
    const int64_t cycleAt = recording ? static_cast<uint32_t>(now - p.recordStart_.load()) : 0;
    while (head != tail) {
        Message &m = p.queue_[head];
        if (m.at >= 0 && (!recording || m.at >= cycleAt + frames))
            break;
        const jack_nframes_t offset =
            m.at >= 0 ? static_cast<jack_nframes_t>(std::max<int64_t>(0, m.at - cycleAt))
                      : std::min<jack_nframes_t>(m.offset, frames - 1);
        m.frame = now + offset;
        if (m.port < p.midiPorts_.size())
            jack_midi_event_write(buffers[m.port], offset, m.bytes, m.size);
        head = (head + 1) % kQueueSize;
        ++written;
    }
    p.queueHead_.store(head, std::memory_order_release);
    if (written) {
        p.lastSentFrame_.store(now);
        p.sent_.fetch_add(written);
    }

    if (!p.floodStopped_.load()) {
        const unsigned mask = p.floodMask_.load();
        const bool stopping = p.floodStopRequested_.load();
        for (size_t port = 0; port < p.midiPorts_.size(); ++port) {
            if (!(mask & (1u << port)))
                continue;
            FloodState &f = p.flood_[port];
            if (stopping) {
                for (int k = 0; k < f.heldCount; ++k) {
                    const uint8_t off[3] = {0x80, f.held[k], 0};
                    jack_midi_event_write(buffers[port], frames - 1, off, 3);
                }
                f.heldCount = 0;
                continue;
            }
            f.owed += static_cast<double>(p.floodRate_.load()) * frames / p.sampleRate_;
            const int count = static_cast<int>(f.owed);
            f.owed -= count;
            p.emitFlood(static_cast<int>(port), buffers[port], frames, count);
        }
        if (stopping) {
            p.floodStopFrame_.store(now + frames - 1);
            p.floodStopped_.store(true);
        }
    }

    if (p.recording_.load()) {
        const float *in = static_cast<const float *>(jack_port_get_buffer(p.input_, frames));
        size_t at = p.recorded_.load(std::memory_order_relaxed);
        if (at == 0)
            p.recordStart_.store(now);
        else {
            const size_t next = static_cast<uint32_t>(now - p.recordStart_.load());
            if (next > at) { // skipped cycles: zero, even in a buffer recorded before
                std::fill(p.buffer_.get() + std::min(at, p.capacity_),
                          p.buffer_.get() + std::min(next, p.capacity_), 0.0f);
                p.xruns_.fetch_add(1);
            }
            at = next;
        }
        const size_t n = at < p.capacity_ ? std::min<size_t>(frames, p.capacity_ - at) : 0;
        if (n) {
            std::memcpy(p.buffer_.get() + at, in, n * sizeof(float));
            p.recorded_.store(at + n, std::memory_order_release);
        }
    }
    return 0;
}

std::string spareServerName() {
    const char *name = std::getenv("ONDRILUX_SPARE_JACK_SERVER");
    return name ? name : "ondrilux-test-spare";
}

PrivateJackServer::PrivateJackServer(const std::string &logPath, int period, int rate)
    : name_(spareServerName()), logPath_(logPath), period_(period), rate_(rate) {
    pid_ = run();
}

bool PrivateJackServer::up(int seconds) const {
    const std::string probe = "jack_lsp -s " + name_ + " >/dev/null 2>&1";
    for (int i = 0; i < seconds * 10; ++i) {
        if (std::system(probe.c_str()) == 0)
            return true;
        sleepMillis(100);
    }
    return false;
}

void PrivateJackServer::kill(int signal) {
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    if (signal == SIGKILL)
        reclaim();
    removeLeftovers();
}

pid_t PrivateJackServer::run() const {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen(logPath_.c_str(), "w", stderr))
            _exit(127);
        const std::string period = std::to_string(period_), rate = std::to_string(rate_);
        execlp("jackd", "jackd", "-n", name_.c_str(), "-d", "dummy", "-r", rate.c_str(), "-p",
               period.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// A server that dies unannounced keeps its slot in JACK's registry of
// servers, which has only 8 for the whole machine. A server started under
// the same name takes the slot over and, stopped in order, frees it.
void PrivateJackServer::reclaim() const {
    const pid_t again = run();
    up(5);
    ::kill(again, SIGTERM);
    waitpid(again, nullptr, 0);
}

// The semaphores of clients that outlived the server.
void PrivateJackServer::removeLeftovers() const {
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm", error))
        if (entry.path().filename().string().find("_" + name_ + "_") != std::string::npos)
            std::filesystem::remove(entry.path(), error);
}
