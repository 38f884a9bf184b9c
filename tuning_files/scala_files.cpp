#include "tuning_files/scala_files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/stat.h>

namespace {

constexpr int32_t kHighestKey = 127;
constexpr char kDosEnd = 0x1A; // where some old editors end a text

// The lines of a text, numbered from 1, split at "\n", "\r\n" or "\r".
class Lines {
  public:
    explicit Lines(std::string_view text) : text_(text) {}
    bool next(std::string_view &line) {
        if (at_ >= text_.size())
            return false;
        const size_t end = std::min(text_.find_first_of("\r\n", at_), text_.size());
        line = text_.substr(at_, end - at_);
        at_ = end + (text_.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        ++number_;
        return true;
    }
    int number() const { return number_; }

  private:
    std::string_view text_;
    size_t at_ = 0;
    int number_ = 0;
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// The line's first word, as a message quotes it.
std::string quoted(std::string_view line) {
    line = trimmed(line);
    const auto end = std::find_if(line.begin(), line.end(), isBlank);
    return "'" + std::string(line.begin(), end) + "'";
}

bool fail(TextFault &fault, int line, std::string what) {
    fault = {line, std::move(what)};
    return false;
}

// A text is no text when it holds a control character other than a line's
// end or a blank (a DOS end mark may close it): the line where one stands.
std::optional<int> binaryLine(std::string_view text) {
    text = text.substr(0, text.find(kDosEnd));
    int line = 1;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || (c == '\r' && text.compare(i, 2, "\r\n") != 0))
            ++line;
        else if ((c < 0x20 && c != '\r' && !isBlank(static_cast<char>(c))) || c == 0x7F)
            return line;
    }
    return std::nullopt;
}

// The decimal number at the start of [first, last), as std::from_chars reads
// it: where it ends, or `first` when none starts there or it is out of range.
// Where the C++ library reads no doubles (emscripten's), the C library's
// strtod gives the same correctly rounded value; only the characters of a
// decimal number reach it, since it also reads blanks, a '+', hex and words.
const char *readDecimal(const char *first, const char *last, double &value) {
#if defined(__cpp_lib_to_chars)
    const auto [end, ec] = std::from_chars(first, last, value);
    return ec == std::errc{} ? end : first;
#else
    const std::string decimal(first, std::find_if_not(first, last, [](char c) {
                                  return (c >= '0' && c <= '9') || c == '.' || c == '-' ||
                                         c == '+' || c == 'e' || c == 'E';
                              }));
    if (decimal.empty() || decimal[0] == '+')
        return first;
    char *end;
    errno = 0;
    value = std::strtod(decimal.c_str(), &end);
    return errno == ERANGE ? first : first + (end - decimal.c_str());
#endif
}

// A whole number at the start of `s`, its digits and an optional sign; `s`
// goes on after it. False when no digit starts it or it is out of range.
bool leadingInteger(std::string_view &s, int64_t &value) {
    const char *first = s.data() + (!s.empty() && s[0] == '+' ? 1 : 0);
    const auto [end, ec] = std::from_chars(first, s.data() + s.size(), value);
    if (ec != std::errc{})
        return false;
    s.remove_prefix(static_cast<size_t>(end - s.data()));
    return true;
}

// The whole first word of a line as a whole number within [low, high].
std::optional<int32_t> wordInteger(std::string_view line, int64_t low, int64_t high) {
    std::string_view s = trimmed(line);
    int64_t v;
    if (!leadingInteger(s, v) || (!s.empty() && !isBlank(s[0]) && s[0] != '!') || v < low ||
        v > high)
        return std::nullopt;
    return static_cast<int32_t>(v);
}

// log2 of a whole number written in decimal digits, however many: a long
// ratio still has a value. -infinity for 0.
double digitsLog2(std::string_view digits) {
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    const size_t kept = std::min<size_t>(digits.size(), 17); // what a double holds
    double leading = 0.0;
    readDecimal(digits.data(), digits.data() + kept, leading);
    return std::log2(leading) + static_cast<double>(digits.size() - kept) * std::log2(10.0);
}

// A degree's value: cents when the value holds a period, else a ratio n/d or
// a whole number n; what follows it is ignored.
bool readDegree(std::string_view line, int number, double &cents, TextFault &fault) {
    const std::string_view s = trimmed(line);
    std::string_view value = s.substr(0, s.find_first_not_of("+-0123456789./"));
    const auto bad = [&](const char *what) { return fail(fault, number, what + quoted(line)); };
    if (value.starts_with('+'))
        value.remove_prefix(1);
    if (value.find('.') != std::string_view::npos) {
        const char *end = readDecimal(value.data(), value.data() + value.size(), cents);
        if (end != value.data() + value.size() || !std::isfinite(cents))
            return bad("text where a degree should be: ");
        return true;
    }
    const size_t slash = value.find('/');
    std::string_view above = value.substr(0, slash);
    std::string_view below = slash == std::string_view::npos ? "1" : value.substr(slash + 1);
    if (slash != std::string_view::npos && below.empty())
        return bad("a ratio without its denominator: ");
    const bool negative = above.starts_with('-') || below.starts_with('-');
    for (std::string_view *part : {&above, &below}) {
        if (part->starts_with('-') || (part == &below && part->starts_with('+')))
            part->remove_prefix(1);
        if (part->empty() || part->find_first_not_of("0123456789") != std::string_view::npos)
            return bad("text where a degree should be: ");
    }
    const double aboveLog = digitsLog2(above), belowLog = digitsLog2(below);
    if (std::isinf(aboveLog))
        return bad("a ratio of 0: ");
    if (std::isinf(belowLog))
        return bad("a zero denominator: ");
    if (negative)
        return bad("a negative ratio: ");
    cents = 1200.0 * (aboveLog - belowLog);
    return true;
}

// The file name without its folders and its last extension.
std::string stem(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

int64_t floorDivide(int64_t a, int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

// Cents above degree 0 of degree `degree`, the scale repeating at its period
// both ways; a scale of 1/1 alone sounds 1/1 for every degree.
double degreeCents(const std::vector<double> &cents, int64_t degree) {
    const auto n = static_cast<int64_t>(cents.size());
    if (n == 0)
        return 0.0;
    const int64_t periods = floorDivide(degree, n);
    const int64_t step = degree - periods * n;
    return static_cast<double>(periods) * cents.back() +
           (step == 0 ? 0.0 : cents[static_cast<size_t>(step - 1)]);
}

// The degree key `key` plays, each repeat of the map `move` degrees up; none
// for an unmapped key.
std::optional<int64_t> keyDegree(const KeyboardMap &map, int64_t move, int64_t key) {
    const int64_t fromMiddle = key - map.middleKey;
    if (map.size == 0)
        return fromMiddle;
    const int64_t repeats = floorDivide(fromMiddle, map.size);
    const auto entry = static_cast<size_t>(fromMiddle - repeats * map.size);
    if (entry >= map.degrees.size() || map.degrees[entry] < 0)
        return std::nullopt;
    return repeats * move + map.degrees[entry];
}

} // namespace

bool readTuningFileText(const std::string &path, const char *kind, std::string &text,
                        std::string &error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = path + ": is a folder, not " + kind;
        return false;
    }
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    text.resize(kMaxTuningFileBytes + 1);
    const size_t got = std::fread(text.data(), 1, text.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = path + ": cannot be read";
        return false;
    }
    if (got > kMaxTuningFileBytes) {
        error = path + ": too large for " + kind + " (over 1 MiB)";
        return false;
    }
    text.resize(got);
    return true;
}

bool readScalaScale(std::string_view text, ScalaScale &scale, TextFault &fault) {
    scale = {};
    if (const std::optional<int> line = binaryLine(text))
        return fail(fault, *line, "binary data, not a text file");
    Lines lines(text.substr(0, text.find(kDosEnd)));
    std::string_view line;
    bool described = false;
    std::optional<int32_t> count;
    int countLine = 0;
    while ((!count || scale.cents.size() < static_cast<size_t>(*count)) && lines.next(line)) {
        if (line.starts_with('!'))
            continue;
        if (!described) {
            scale.description = trimmed(line);
            described = true;
        } else if (!count) {
            countLine = lines.number();
            count = wordInteger(line, 0, kMaxTuningFileBytes);
            if (!count)
                return fail(fault, countLine,
                            "the count of degrees is no whole number from 0 up: " + quoted(line));
        } else if (!trimmed(line).empty()) {
            double cents;
            if (!readDegree(line, lines.number(), cents, fault))
                return false;
            scale.cents.push_back(cents);
        }
    }
    if (!count)
        return fail(fault, lines.number(), "the file ends before the count of degrees");
    if (scale.cents.size() != static_cast<size_t>(*count))
        return fail(fault, countLine,
                    "the count says " + std::to_string(*count) + " degrees, the file holds " +
                        std::to_string(scale.cents.size()));
    return true;
}

bool readKeyboardMap(std::string_view text, KeyboardMap &map, TextFault &fault) {
    map = {};
    if (const std::optional<int> line = binaryLine(text))
        return fail(fault, *line, "binary data, not a text file");
    struct Field {
        const char *name;
        int32_t *value;
        int64_t low, high;
    };
    const Field fields[] = {{"the map size", &map.size, 0, INT32_MAX},
                            {"the first key", &map.firstKey, 0, kHighestKey},
                            {"the last key", &map.lastKey, 0, kHighestKey},
                            {"the middle key", &map.middleKey, 0, kHighestKey},
                            {"the reference key", &map.referenceKey, 0, kHighestKey},
                            {"the reference frequency", nullptr, 0, 0},
                            {"the octave degree", &map.octaveDegree, 0, INT32_MAX}};
    Lines lines(text.substr(0, text.find(kDosEnd)));
    std::string_view line;
    size_t field = 0;
    int blankLine = 0; // the first blank line among the entries
    while ((field < std::size(fields) || map.degrees.size() < static_cast<size_t>(map.size)) &&
           lines.next(line)) {
        if (line.starts_with('!'))
            continue;
        const int number = lines.number();
        if (field == std::size(fields)) { // an entry
            if (trimmed(line).empty()) {
                blankLine = blankLine ? blankLine : number;
                continue;
            }
            if (blankLine)
                return fail(fault, blankLine, "an empty line where a map entry should be");
            const std::string_view word = trimmed(line);
            if (word == "x" || word.starts_with("x ") || word.starts_with("x\t")) {
                map.degrees.push_back(-1);
            } else if (const std::optional<int32_t> degree = wordInteger(line, 0, INT32_MAX)) {
                map.degrees.push_back(*degree);
            } else {
                return fail(fault, number, "text where a map entry should be: " + quoted(line));
            }
            continue;
        }
        const Field &f = fields[field++];
        if (!f.value) {
            const std::string_view word = trimmed(line);
            const size_t end = std::min(word.find_first_of(" \t!"), word.size());
            if (readDecimal(word.data(), word.data() + end, map.referenceHz) != word.data() + end ||
                end == 0)
                return fail(fault, number,
                            std::string("text where ") + f.name + " should be: " + quoted(line));
            if (!(map.referenceHz > 0.0 && std::isfinite(map.referenceHz)))
                return fail(fault, number,
                            "the reference frequency must be above 0 Hz, not " + quoted(line));
            continue;
        }
        int64_t v;
        std::string_view s = trimmed(line);
        if (!leadingInteger(s, v) || (!s.empty() && !isBlank(s[0]) && s[0] != '!'))
            return fail(fault, number,
                        std::string("text where ") + f.name + " should be: " + quoted(line));
        if (v < f.low || v > f.high)
            return fail(fault, number,
                        std::string(f.name) + " " + std::to_string(v) + " is outside " +
                            std::to_string(f.low) + " to " + std::to_string(f.high));
        *f.value = static_cast<int32_t>(v);
        if (f.value == &map.referenceKey)
            map.referenceLine = number;
        if (f.value == &map.octaveDegree)
            map.octaveLine = number;
    }
    if (field < std::size(fields))
        return fail(fault, lines.number(),
                    std::string("the file ends before ") + fields[field].name);
    return true;
}

bool tuneKeys(const ScalaScale &scale, const KeyboardMap &map, Tuning &tuning, TextFault &fault) {
    const auto n = static_cast<int64_t>(scale.cents.size());
    if (map.octaveDegree > n)
        return fail(fault, map.octaveLine,
                    "the octave degree " + std::to_string(map.octaveDegree) +
                        " lies past the scale's " + std::to_string(n) + " degrees");
    // Entries past the scale's size reach into the periods above it; the map
    // then spans as many periods and moves by as many octave degrees.
    const int64_t widest =
        map.degrees.empty() ? 0 : *std::max_element(map.degrees.begin(), map.degrees.end());
    const int64_t periods = n > 0 && widest > n ? (widest + n - 1) / n : 1;
    int64_t move = int64_t{map.octaveDegree} * periods;
    if (move == 0)
        move = periods > 1 ? n * periods : map.size;
    const std::optional<int64_t> reference = keyDegree(map, move, map.referenceKey);
    if (!reference)
        return fail(fault, map.referenceLine,
                    "the reference key " + std::to_string(map.referenceKey) + " is unmapped");
    const double referenceCents = degreeCents(scale.cents, *reference);
    for (int32_t key = 0; key < kKeyCount; ++key) {
        const std::optional<int64_t> degree = keyDegree(map, move, key);
        tuning.keyHz[key] =
            degree ? map.referenceHz *
                         std::exp2((degreeCents(scale.cents, *degree) - referenceCents) / 1200.0)
                   : 0.0;
    }
    tuning.synthsOwn = false;
    setTuningName(tuning, scale.description);
    return true;
}

bool tuningFromScalaTexts(std::string_view scaleText, const std::string &scaleFile,
                          std::string_view mapText, const std::string &mapFile, Tuning &tuning,
                          std::string &error) {
    ScalaScale scale{"12-TET", {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200}};
    KeyboardMap map;
    TextFault fault;
    const auto failIn = [&](const std::string &file) {
        error = file + ": " + (fault.line ? "line " + std::to_string(fault.line) + ": " : "") +
                fault.what;
        return false;
    };
    if (!scaleFile.empty() && !readScalaScale(scaleText, scale, fault))
        return failIn(scaleFile);
    if (!mapFile.empty() && !readKeyboardMap(mapText, map, fault))
        return failIn(mapFile);
    if (!tuneKeys(scale, map, tuning, fault))
        return failIn(mapFile);
    if (tuning.name[0] == '\0')
        setTuningName(tuning, stem(scaleFile));
    return true;
}

bool readTuningFiles(const std::string &scalePath, const std::string &mapPath, Tuning &tuning,
                     std::string &error) {
    std::string scaleText, mapText;
    if (scalePath.empty() && mapPath.empty()) {
        tuning = Tuning{};
        return true;
    }
    if (!scalePath.empty() && !readTuningFileText(scalePath, "a scale file", scaleText, error))
        return false;
    if (!mapPath.empty() && !readTuningFileText(mapPath, "a keyboard map", mapText, error))
        return false;
    return tuningFromScalaTexts(scaleText, scalePath, mapText, mapPath, tuning, error);
}
