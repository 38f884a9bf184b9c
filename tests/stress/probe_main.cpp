// ondrilux_jack_probe: the JackProbe as a command-line client for
// bench/live_cost.sh. It opens the JACK client "ondrilux-bench" with the MIDI
// port "keys" (start it before the program, so the program's device list has
// it), then answers one line per command read from standard input:
//   listen PID   waits until process PID listens to "keys" and records its audio
//   record       waits until a client listens to "keys" and records "in" (which
//                that client connects itself, as ondrilux-jack does)
//   on NOTE      note-on, channel 1
//   off NOTE     note-off, channel 1
//   latency N [E]  N notes from silence: frames from each note-on to the first
//                non-zero sample of the program's output, also less the E frames
//                the engine adds on purpose (default 1002: the fade-out of the
//                previous note and the attack's silent first frame; 1 with quick
//                start)
//   quit
// With ONDRILUX_PROBE_RECORD set, "listen" records that port rather than the
// program's own (PipeWire's sink monitor); with ONDRILUX_PROBE_PAREC set, the
// program's sound is heard through parec on PulseAudio's "null" sink instead,
// on the wall clock: delays are then rough (parec's latency, about 2 ms, and
// the polling of the note's sending, 1 ms).
#include "tests/support/jack_probe.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

void sleepMillis(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Waits until the last `quietFrames` recorded are all zero; false on time-out.
bool waitForSilence(const JackProbe &p, size_t quietFrames, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        const size_t n = p.recordedCount();
        if (n >= quietFrames && p.endOfSound(n - quietFrames) == n - quietFrames)
            return true;
        sleepMillis(5);
    }
    return false;
}

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// parec on the monitor of PulseAudio's sink "null", read as it arrives: the
// steady-clock time of the last non-zero sample, and of the first one after
// arm().
class ParecEar {
  public:
    ParecEar() {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execlp("parec", "parec", "-d", "null.monitor", "--format=float32le", "--rate=48000",
                   "--channels=1", "--latency-msec=2", "--raw", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
        reader_ = std::thread([this] { read(); });
    }
    ~ParecEar() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable())
            reader_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    bool silentFor(int64_t ns) const { return nowNs() - lastLoud_.load() > ns; }
    void arm() {
        firstLoud_.store(0);
        armed_.store(true);
    }
    int64_t firstLoud() const { return firstLoud_.load(); }

  private:
    void read() {
        float buffer[256];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            const int64_t arrived = nowNs();
            const size_t count = static_cast<size_t>(n) / sizeof(float);
            for (size_t i = 0; i < count; ++i) {
                if (buffer[i] == 0.0f)
                    continue;
                const int64_t at = arrived - static_cast<int64_t>((count - 1 - i) * 1e9 / 48000);
                lastLoud_.store(at);
                if (armed_.exchange(false))
                    firstLoud_.store(at);
            }
        }
    }
    pid_t pid_ = -1;
    int fd_ = -1;
    std::thread reader_;
    std::atomic<int64_t> lastLoud_{0}, firstLoud_{0};
    std::atomic<bool> armed_{false};
};

// Frames from a note-on to the first sound, heard by parec; -1 when none.
double parecDelay(JackProbe &p, ParecEar &ear) {
    for (int waited = 0; waited < 5000 && !ear.silentFor(300000000); waited += 5)
        sleepMillis(5);
    sleepMillis(static_cast<int>(nowNs() % 20));
    const uint64_t count = p.sentCount() + 1;
    ear.arm();
    p.noteOn(0, 69);
    p.waitSent(count);
    const int64_t sent = nowNs();
    for (int waited = 0; waited < 2000 && ear.firstLoud() == 0; waited += 2)
        sleepMillis(2);
    sleepMillis(50);
    p.noteOff(0, 69);
    const int64_t heard = ear.firstLoud();
    return heard == 0 ? -1.0 : static_cast<double>(heard - sent) * p.sampleRate() / 1e9;
}

std::string latency(JackProbe &p, int notes, long engineFrames) {
    std::unique_ptr<ParecEar> ear;
    if (std::getenv("ONDRILUX_PROBE_PAREC")) {
        ear = std::make_unique<ParecEar>();
        sleepMillis(500);
    }
    std::mt19937 random(12345);
    std::vector<double> delays;
    int failures = 0;
    for (int i = 0; i < notes; ++i) {
        if (ear) {
            const double delay = parecDelay(p, *ear);
            if (delay < 0)
                ++failures;
            else
                delays.push_back(delay);
            continue;
        }
        if (!waitForSilence(p, static_cast<size_t>(p.sampleRate() / 10), 5000)) {
            ++failures;
            continue;
        }
        // A random pause moves the note-on against the program's buffers.
        sleepMillis(static_cast<int>(random() % 20));
        const uint64_t count = p.sentCount() + 1;
        p.noteOn(0, 69);
        const uint32_t frame = p.waitSent(count);
        const size_t at = static_cast<uint32_t>(frame - p.recordStart());
        long first = -1;
        for (int waited = 0; waited < 2000 && first < 0; waited += 2) {
            sleepMillis(2);
            first = p.firstLoud(at);
        }
        sleepMillis(50);
        p.noteOff(0, 69);
        if (first < 0) {
            ++failures;
            continue;
        }
        delays.push_back(static_cast<double>(static_cast<size_t>(first) - at));
    }
    if (delays.empty())
        return "latency failed: no note was heard";
    const double mean = std::accumulate(delays.begin(), delays.end(), 0.0) / delays.size();
    double variance = 0.0;
    for (double d : delays)
        variance += (d - mean) * (d - mean);
    const double sd = std::sqrt(variance / delays.size());
    const auto [lo, hi] = std::minmax_element(delays.begin(), delays.end());
    std::vector<double> sorted = delays;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    const double ms = 1000.0 / p.sampleRate();
    std::ostringstream out;
    char line[256];
    std::snprintf(line, sizeof line,
                  "notes %zu (failed %d), JACK period %d frames\n"
                  "raw delay frames: mean %.1f min %.0f max %.0f spread %.0f sd %.1f\n"
                  "raw delay ms: mean %.2f median %.2f min %.2f max %.2f spread %.2f\n",
                  delays.size(), failures, p.bufferSize(), mean, *lo, *hi, *hi - *lo, sd, mean * ms,
                  median * ms, *lo * ms, *hi * ms, (*hi - *lo) * ms);
    out << line;
    const double e = static_cast<double>(engineFrames);
    std::snprintf(line, sizeof line,
                  "minus the engine's %ld frames: mean %.1f min %.0f max %.0f frames "
                  "(%.2f / %.2f / %.2f ms)",
                  engineFrames, mean - e, *lo - e, *hi - e, (mean - e) * ms, (*lo - e) * ms,
                  (*hi - e) * ms);
    out << line;
    return out.str();
}

} // namespace

int main() {
    // Enough for 50 notes of about 1.7 s each.
    JackProbe probe("ondrilux-bench", {"keys"}, 200.0);
    if (!probe.ok()) {
        std::cout << "no JACK server" << std::endl;
        return 1;
    }
    std::cout << "ready" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        long value = 0, engineFrames = 0;
        in >> command >> value;
        if (!(in >> engineFrames))
            engineFrames = 1002;
        if (command == "listen") {
            probe.waitListening(0, 5);
            // parec hears the program; the other two record a JACK port.
            const bool parec = std::getenv("ONDRILUX_PROBE_PAREC") != nullptr;
            const char *record = std::getenv("ONDRILUX_PROBE_RECORD");
            const std::string port = parec    ? ""
                                     : record ? record
                                              : probe.programOutput(static_cast<pid_t>(value), 5);
            const bool ok =
                probe.programListens(0) && (parec || (!port.empty() && probe.listenTo(port)));
            if (ok)
                probe.startRecording();
            std::cout << (ok ? "ok" : "fail") << std::endl;
        } else if (command == "record") {
            const bool ok = probe.waitListening(0, 5);
            sleepMillis(100); // the audio connection follows
            if (ok)
                probe.startRecording();
            std::cout << (ok ? "ok" : "fail") << std::endl;
        } else if (command == "on" || command == "off") {
            if (command == "on")
                probe.noteOn(0, static_cast<int>(value));
            else
                probe.noteOff(0, static_cast<int>(value));
            std::cout << "ok" << std::endl;
        } else if (command == "latency") {
            std::cout << latency(probe, static_cast<int>(value), engineFrames) << "\nend"
                      << std::endl;
        } else if (command == "quit") {
            break;
        } else {
            std::cout << "unknown command" << std::endl;
        }
    }
    return 0;
}
