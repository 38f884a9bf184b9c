#pragma once

// A small LV2 host on lilv, the library hosts load plugins with: it finds a
// plugin on an LV2 path, instantiates it with the URID map, connects every
// port, and runs it in blocks with an atom sequence of events built by hand
// (as a host's sequence, and as a careless host's).
#include <lv2/worker/worker.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct Lv2World;

class Lv2Instance {
  public:
    // The plugin `uri` found on `lv2Path` (a folder of bundles, as LV2_PATH
    // names), instantiated at `rate`; ok() false when it cannot be. Every
    // control input starts at its default.
    Lv2Instance(const std::string &lv2Path, const std::string &uri, double rate);
    ~Lv2Instance();
    Lv2Instance(const Lv2Instance &) = delete;
    Lv2Instance &operator=(const Lv2Instance &) = delete;

    bool ok() const { return instance_ != nullptr; }
    // Whether the plugin has a port with this symbol.
    bool hasPort(const std::string &symbol) const;
    // A control port's value: inputs are read by the plugin at its next run,
    // outputs hold what it wrote at its last.
    float &control(const std::string &symbol);
    // Leaves the port unconnected, as a host that does not read it may.
    void disconnect(const std::string &symbol);
    void activate();
    void deactivate();

    // Builds the next block's input sequence. `frame` is the event's time as
    // written, in or out of order, inside the block or not; `type` 0 means a
    // MIDI event. No allocation: events may be added between counted runs.
    void clearEvents();
    bool addEvent(int64_t frame, const uint8_t *bytes, uint32_t size, uint32_t type = 0);
    bool addEvent(int64_t frame, std::initializer_list<uint8_t> bytes) {
        return addEvent(frame, bytes.begin(), static_cast<uint32_t>(bytes.size()));
    }
    // A URID the plugin does not read events of, for foreign atoms.
    uint32_t otherType() const { return otherType_; }

    // Real time: one run of `frames` frames into `out`, with the events added
    // since clearEvents. Connects `out` each time, as hosts may. Then the
    // worker's answers, as hosts deliver them after a run.
    void run(float *out, uint32_t frames);

    // A patch:Set of the property `key` (a URI) to the path `path`, as a
    // host's file chooser sends it. No allocation.
    bool addPatchSet(int64_t frame, const char *key, const std::string &path);
    // The text of the last patch:Set of `key` on the notify port in the last
    // run; "" for none.
    std::string notified(const char *key) const;
    // The host's worker: what run schedules is done at once (as hosts do
    // when they render offline), or with `workAtOnce` false by doWork.
    bool workAtOnce = true;
    void doWork();

    // The plugin's state as it saves it, by key URI: each value's type URI
    // and bytes (paths kept as they are); and restored from such a state.
    struct Saved {
        std::string type, value;
    };
    std::map<std::string, Saved> saveState() const;
    void restoreState(const std::map<std::string, Saved> &state);

  private:
    const LV2_Worker_Interface *worker() const;
    std::shared_ptr<Lv2World> world_;
    struct LilvInstanceImpl *instance_ = nullptr;
    uint32_t outPort_ = UINT32_MAX;      // the first audio output: the one recorded
    uint32_t spareOutPort_ = UINT32_MAX; // a second (a stereo peer's right), written and not read
    std::vector<float> spareOut_ = std::vector<float>(8192);
    uint32_t midiType_ = 0, otherType_ = 0;
    std::vector<std::string> symbols_;
    std::vector<float> controls_;    // one per port, used by the control ports
    std::vector<uint64_t> sequence_; // 8-byte aligned, as atoms must be
    std::vector<uint64_t> notify_;   // the atom output, read back by notified()
    // The worker's requests and answers, each a size then its bytes, their
    // room made once.
    std::vector<uint8_t> requests_, answers_;
    struct Lv2Features;
    std::shared_ptr<Lv2Features> features_;
};
