// The renderer as a user meets it: bad input and options, failed writes, help.
#include "engine/operation_names.h"
#include "midi_bytes.h"
#include "renderer_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const Bytes kNote =
    header(0, 1, 96) + track({{0, {0x90, 60, 100}}, {96, {0x80, 60, 0}}, {0, kEndOfTrack}});
const Bytes kNoteTrackBody =
    trackBody({{0, {0x90, 60, 100}}, {96, {0x80, 60, 0}}, {0, kEndOfTrack}});

// A note every half second for `minutes`.
Bytes notesForMinutes(int minutes) {
    // Each note: on, a quarter of a second (48 ticks), off, a quarter to the next.
    const Bytes note{0x90, 60, 100, 48, 0x80, 60, 0, 48};
    Bytes body{0};
    for (int i = 0; i < minutes * 120; ++i)
        body.insert(body.end(), note.begin(), note.end());
    body.back() = 0; // the end of the track follows the last note-off at once
    return header(0, 1, 96) + chunk("MTrk", body + kEndOfTrack);
}

// 50 000 of the longest delta times at the slowest tempo, one tick a quarter:
// some 10^19 frames, more than a 64-bit frame count holds.
Bytes longestPossibleSong() {
    Bytes body = varLength(0) + tempo(0xFFFFFF);
    for (int i = 0; i < 50000; ++i)
        body = std::move(body) + varLength(0x0FFFFFFF) + Bytes{0xFF, 0x01, 0x00};
    return header(0, 1, 1) + chunk("MTrk", body + varLength(0) + kEndOfTrack);
}

struct BadCase {
    const char *name;
    std::optional<Bytes> file;        // written as IN when present
    std::vector<std::string> args;    // IN, OUT, DIR, SCL and KBM stand for the paths
    const char *message;              // part of the one-line error
    std::string scale = "", map = ""; // written as SCL and KBM when not empty
};

const std::string kMap = "12\n0\n127\n60\n69\n440.0\n"; // then the octave degree and entries
const std::vector<std::string> kScaleArgs = {"--scale", "SCL", "IN", "OUT"},
                               kMapArgs = {"--keyboard-map", "KBM", "IN", "OUT"},
                               kBothArgs = {"--scale", "SCL", "--keyboard-map", "KBM", "IN", "OUT"};

const BadCase kBadCases[] = {
    {"NotMidi", Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0}, {"IN", "OUT"}, "not a MIDI file"},
    {"EmptyFile", Bytes{}, {"IN", "OUT"}, "not a MIDI file"},
    {"HeaderCutShort", Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0}, {"IN", "OUT"}, "truncated"},
    {"TrackChunkCutShort", Bytes(kNote.begin(), kNote.end() - 3), {"IN", "OUT"}, "truncated"},
    {"TrackMissing",
     header(1, 2, 96) + track({{0, kEndOfTrack}}),
     {"IN", "OUT"},
     "track 2 of 2 is missing"},
    {"ChunkHeaderCutShort",
     header(1, 2, 96) + chunk("MTrk", kNoteTrackBody) + Bytes{'M', 'T'},
     {"IN", "OUT"},
     "chunk header cut short"},
    {"GarbageInsteadOfChunk",
     header(0, 1, 96) + Bytes{0, 0x90, 0x3C, 0x40, 1, 2, 3, 4},
     {"IN", "OUT"},
     "no chunk"},
    {"HeaderTooShort",
     chunk("MThd", {0, 0, 0, 1}) + Bytes(8, 0),
     {"IN", "OUT"},
     "malformed header"},
    {"SmpteDivision", header(0, 1, 0xE728) + chunk("MTrk", kNoteTrackBody), {"IN", "OUT"}, "SMPTE"},
    {"ZeroDivision",
     header(0, 1, 0) + chunk("MTrk", kNoteTrackBody),
     {"IN", "OUT"},
     "0 ticks per quarter"},
    {"FormatTwo", header(2, 1, 96) + chunk("MTrk", kNoteTrackBody), {"IN", "OUT"}, "format 2"},
    {"FormatThree", header(3, 1, 96) + chunk("MTrk", kNoteTrackBody), {"IN", "OUT"}, "format 3"},
    {"DataByteWithoutStatus",
     header(0, 1, 96) + track({{0, {60, 100}}}),
     {"IN", "OUT"},
     "without a status"},
    {"StatusWhereDataBelongs",
     header(0, 1, 96) + track({{0, {0x90, 60, 0x80}}}),
     {"IN", "OUT"},
     "where a data byte"},
    {"EventCutByChunkEnd", header(0, 1, 96) + track({{0, {0x90, 60}}}), {"IN", "OUT"}, "cut short"},
    {"MetaLengthPastChunkEnd",
     header(0, 1, 96) + track({{0, {0xFF, 0x01, 0x10, 'a'}}}),
     {"IN", "OUT"},
     "cut short"},
    {"DeltaTimeTooLong",
     header(0, 1, 96) + chunk("MTrk", {0x81, 0x80, 0x80, 0x80, 0x00}),
     {"IN", "OUT"},
     "malformed delta"},
    {"SystemCommonInFile", header(0, 1, 96) + track({{0, {0xF2, 0, 0}}}), {"IN", "OUT"}, "0xF2"},
    {"ShortTempo",
     header(0, 1, 96) + track({{0, {0xFF, 0x51, 0x02, 1, 2}}}),
     {"IN", "OUT"},
     "tempo"},
    {"LongerThanAWav",
     header(0, 1, 1) + track({{0x0FFFFFFF, kEndOfTrack}}),
     {"IN", "OUT"},
     "6 hours"},
    {"LengthPastAnyFrameCount", longestPossibleSong(), {"IN", "OUT"}, "6 hours"},
    {"InputMissing", {}, {"IN", "OUT"}, "No such file"},
    {"InputIsFolder", {}, {"DIR", "OUT"}, "is a folder"},
    {"OutputIsFolder", kNote, {"IN", "DIR"}, "is a folder"},
    {"OutputIsDevice", kNote, {"IN", "/dev/null"}, "/dev/null: is not a regular file"},
    {"OperationTooLow",
     kNote,
     {"--operation", "0", "IN", "OUT"},
     "--operation: '0' is out of range (1 to 13)"},
    {"OperationTooHigh", kNote, {"--operation=14", "IN", "OUT"}, "out of range (1 to 13)"},
    {"StaticTooHigh", kNote, {"--static", "101", "IN", "OUT"}, "(0 to 100)"},
    {"TopTooLow", kNote, {"--top", "1", "IN", "OUT"}, "(2 to 243)"},
    {"BottomTooHigh", kNote, {"--bottom", "246", "IN", "OUT"}, "(4 to 245)"},
    {"AttackZero", kNote, {"--attack", "0", "IN", "OUT"}, "(1 to 2000)"},
    {"DecayTooLong", kNote, {"--decay", "5001", "IN", "OUT"}, "(1 to 5000)"},
    {"SustainNegative", kNote, {"--sustain", "-1", "IN", "OUT"}, "(0 to 100)"},
    {"ReleaseZero", kNote, {"--release", "0", "IN", "OUT"}, "(1 to 5000)"},
    {"TailTooLong", kNote, {"--tail", "60.5", "IN", "OUT"}, "(0 to 60 seconds)"},
    {"QuickStartWithValue",
     kNote,
     {"--quick-start=1", "IN", "OUT"},
     "option '--quick-start' takes no value"},
    {"TailNegative", kNote, {"--tail", "-0.1", "IN", "OUT"}, "(0 to 60 seconds)"},
    {"TailNotANumber", kNote, {"--tail", "1s", "IN", "OUT"}, "not a number"},
    {"TailInfinite", kNote, {"--tail", "inf", "IN", "OUT"}, "not a number"},
    {"FractionalSlider", kNote, {"--decay", "2.5", "IN", "OUT"}, "not a whole number"},
    {"EmptyValue", kNote, {"--sustain=", "IN", "OUT"}, "not a whole number"},
    {"ValueMissing", kNote, {"IN", "OUT", "--attack"}, "needs a value"},
    {"UnknownOption", kNote, {"--volume", "3", "IN", "OUT"}, "unknown option '--volume'"},
    {"UnknownShortOption", kNote, {"-x", "IN", "OUT"}, "unknown option '-x'"},
    {"OutputMissing", kNote, {"IN"}, "expected INPUT.mid and OUTPUT.wav"},
    {"ExtraArgument", kNote, {"IN", "OUT", "more"}, "too many arguments"},
    {"ScaleMissing", kNote, {"--scale", "none.scl", "IN", "OUT"}, "none.scl: No such file"},
    {"ScaleNamesNoFile", kNote, {"--scale=", "IN", "OUT"}, "--scale: no file named"},
    {"FewerDegreesThanCounted", kNote, kScaleArgs,
     "t.scl: line 2: the count says 3 degrees, the file holds 2", "d\n3\n100.0\n\n2/1\n"},
    {"RatioOfZero", kNote, kScaleArgs, "t.scl: line 4: a ratio of 0", "!\nd\n1\n0/5\n"},
    {"NegativeRatio", kNote, kScaleArgs, "line 3: a negative ratio: '-3/2'", "d\n1\n-3/2\n"},
    {"ZeroDenominator", kNote, kScaleArgs, "line 3: a zero denominator", "d\n1\n3/0\n"},
    {"TextForADegree", kNote, kScaleArgs, "line 4: text where a degree should be: 'two'",
     "d\n2\n100.\ntwo\n"},
    {"ScaleOfTenMegabytes", kNote, kScaleArgs, "t.scl: too large for a scale file (over 1 MiB)",
     std::string(10 << 20, '!')},
    {"BinaryScale", kNote, kScaleArgs, "t.scl: line 2: binary data", "d\n\x01\x02"},
    {"OctaveDegreePastTheScale", kNote, kMapArgs,
     "t.kbm: line 7: the octave degree 13 lies past the scale's 12 degrees", "", kMap + "13\n"},
    {"ReferenceKeyUnmapped", kNote, kBothArgs, "t.kbm: line 5: the reference key 69 is unmapped",
     "d\n1\n2/1\n", kMap + "1\n0\n0\n0\n0\n0\n0\n0\n0\n0\nx\n"},
    {"ReferenceFrequencyZero", kNote, kMapArgs,
     "line 6: the reference frequency must be above 0 Hz, not '0'", "",
     "0\n0\n127\n60\n60\n0\n0\n"},
    {"ReferenceFrequencyNotANumber", kNote, kMapArgs,
     "line 7: the reference frequency must be above 0 Hz, not 'nan'", "",
     "!\n0\n0\n127\n60\n60\nnan\n0\n"},
    {"KeyOutsideTheKeyboard", kNote, kMapArgs,
     "t.kbm: line 3: the last key 128 is outside 0 to 127", "", "0\n0\n128\n60\n60\n440\n0\n"},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BadCase &c, std::ostream *os) {
    *os << c.name;
}

class BadInput : public testing::TestWithParam<BadCase> {};

std::vector<std::string> withPaths(const std::vector<std::string> &args, const ScratchFolder &dir) {
    std::vector<std::string> out;
    for (const std::string &a : args)
        out.push_back(a == "IN"    ? (dir / "in.mid").string()
                      : a == "OUT" ? (dir / "out.wav").string()
                      : a == "DIR" ? dir.path.string()
                      : a == "SCL" ? (dir / "t.scl").string()
                      : a == "KBM" ? (dir / "t.kbm").string()
                                   : a);
    return out;
}

void expectOneErrorLine(const RendererRun &run, const std::string &part) {
    EXPECT_EQ(run.err.rfind("ondrilux-render: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
}

TEST_P(BadInput, ExitsWithStatus2AndWritesNothing) {
    const BadCase &c = GetParam();
    ScratchFolder dir, logs;
    if (c.file)
        writeFile(dir / "in.mid", *c.file);
    for (const auto &[text, name] : {std::pair{&c.scale, "t.scl"}, std::pair{&c.map, "t.kbm"}})
        if (!text->empty())
            writeFile(dir / name, Bytes(text->begin(), text->end()));
    const std::vector<std::string> before = dir.listing();
    const RendererRun run = runRenderer(withPaths(c.args, dir), logs.path);
    EXPECT_EQ(run.exitStatus, 2);
    expectOneErrorLine(run, c.message);
    EXPECT_EQ(dir.listing(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadInput, testing::ValuesIn(kBadCases),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(Renderer, BadInputLeavesAnExistingOutputUntouched) {
    ScratchFolder dir, logs;
    writeFile(dir / "in.mid", {'n', 'o', 'p', 'e'});
    writeFile(dir / "out.wav", {'k', 'e', 'e', 'p'});
    const fs::file_time_type before = fs::last_write_time(dir / "out.wav");
    const RendererRun run = runRenderer(withPaths({"IN", "OUT"}, dir), logs.path);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(readText(dir / "out.wav"), "keep");
    EXPECT_EQ(fs::last_write_time(dir / "out.wav"), before);
}

TEST(Renderer, HelpPrintsUsage) {
    ScratchFolder logs;
    for (const char *flag : {"--help", "-h"}) {
        const RendererRun run = runRenderer({flag}, logs.path);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out.rfind("Usage: ondrilux-render [OPTIONS] INPUT.mid OUTPUT.wav\n", 0), 0u);
        EXPECT_NE(run.out.find("--release R"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
}

// Every operation by number and short name, in order, right after --operation:
// docs/plot-operations.sh takes its titles from these lines.
TEST(Renderer, HelpListsTheOperations) {
    ScratchFolder logs;
    const std::string out = runRenderer({"--help"}, logs.path).out;
    size_t at = out.find("  --operation N   bit operation, 1 to 13 (default 1):\n");
    ASSERT_NE(at, std::string::npos) << out;
    at = out.find('\n', at) + 1;
    for (int32_t op = 1; op <= kOperationCount; ++op) {
        const std::string number = std::to_string(op);
        const std::string line = std::string(21 - number.size(), ' ') + number + " " +
                                 operationName(op).shortName + "\n";
        EXPECT_EQ(out.compare(at, line.size(), line), 0) << "expected: " << line << out;
        at += line.size();
    }
    EXPECT_EQ(out.substr(at, 10), "  --static") << out;
}

TEST(Renderer, MissingOutputFolderFailsWithStatus1) {
    ScratchFolder dir, logs;
    writeFile(dir / "in.mid", kNote);
    const RendererRun run =
        runRenderer({(dir / "in.mid").string(), (dir / "nope" / "out.wav").string()}, logs.path);
    EXPECT_EQ(run.exitStatus, 1);
    expectOneErrorLine(run, "nope");
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.mid"});
}

// The file size limit makes a write fail after the first few blocks.
TEST(Renderer, WriteFailingHalfWayLeavesNothing) {
    ScratchFolder dir, logs;
    writeFile(dir / "in.mid", notesForMinutes(1));
    const pid_t pid = startRenderer(withPaths({"IN", "OUT"}, dir), logs.path, 1 << 20);
    const RendererRun run = waitRenderer(pid, logs.path);
    EXPECT_EQ(run.exitStatus, 1);
    expectOneErrorLine(run, "cannot write");
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.mid"});
}

TEST(Renderer, InterruptedRenderLeavesNothing) {
    ScratchFolder dir, logs;
    writeFile(dir / "in.mid", notesForMinutes(60));
    const pid_t pid = startRenderer(withPaths({"IN", "OUT"}, dir), logs.path);
    // Wait for the temporary file, then interrupt as Ctrl-C would.
    for (int i = 0; i < 5000 && dir.listing().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(dir.listing().size(), 2u) << "the render never started";
    kill(pid, SIGINT);
    const RendererRun run = waitRenderer(pid, logs.path);
    EXPECT_EQ(run.signal, SIGINT);
    EXPECT_EQ(dir.listing(), std::vector<std::string>{"in.mid"});
}

// On a terminal a render that has run longer than a moment shows a bar that
// ends at 100%. The render is paused early on for longer than that moment, so
// the bar shows however fast the machine renders.
TEST(Renderer, ProgressBarOnTerminal) {
    ScratchFolder dir;
    writeFile(dir / "in.mid", notesForMinutes(10));
    const std::string in = (dir / "in.mid").string(), out = (dir / "out.wav").string();
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(ONDRILUX_RENDER_PATH, ONDRILUX_RENDER_PATH, in.c_str(), out.c_str(), nullptr);
        _exit(127);
    }
    // Frames reach the temporary output only once the render (and its bar's
    // clock) has started; 64 KiB of some 115 MB is at its very beginning.
    const auto rendering = [&] {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(dir.path, error))
            if (entry.path().filename() != "in.mid" && entry.file_size(error) > 65536)
                return true;
        return false;
    };
    bool paused = false;
    for (int i = 0; i < 5000 && !paused; ++i) {
        if (rendering())
            paused = kill(pid, SIGSTOP) == 0;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(paused) << "the render was not caught under way";
    // Longer than the quiet moment before a bar appears.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    kill(pid, SIGCONT);

    std::string screen;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
        screen.append(buffer, static_cast<size_t>(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(screen.find("rendering ["), std::string::npos) << screen;
    EXPECT_NE(screen.find("] 100%"), std::string::npos) << screen;
}

} // namespace
