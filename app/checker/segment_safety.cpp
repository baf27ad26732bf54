#include "checker/segment_safety.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "checker/script_pieces.h"
#include "formula/formula.h"
#include "script/command_table.h"

namespace {

// Evaluator slots: A..Z are 0..25, a..z are 32..57; of the lower-case
// letters the plug-in sets all but these before every line.
constexpr uint32_t kLowerSlotBase = 32;
constexpr char kKeptLowerLetters[] = "kloqrt";

// A..Z and k l o q r t: the letters whose value outlives a frame.
bool IsKeptLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c != '\0' && std::strchr(kKeptLowerLetters, c) != nullptr);
}

char LetterOfSlot(uint32_t slot) {
    return slot < kLowerSlotBase ? char('A' + slot) : char('a' + (slot - kLowerSlotBase));
}

// One stored record as the analysis needs it.
struct Record {
    int32_t line = 0;
    int32_t start = 0, end = 0;
    bool conditional = false;  // runs its condition on every frame
    bool first_pass = false;   // runs on every frame before any jump can skip it
    std::string command;
    std::vector<std::string> args;
    std::set<char> reads;  // kept letters its expressions read
    bool random = false;   // draws from the generator
    const CommandRow* row = nullptr;
};

// The first frame a record can run on.
int32_t RunsFrom(const Record& r) {
    return r.conditional ? 0 : std::max(r.start, 0);
}

// The kept letters an expression reads, from its compiled program: the
// compiler's code for a letter is the code of 'A' plus the letter's slot.
void AddReads(const char* text, std::set<char>* reads) {
    static const uint32_t letter_a = [] {
        CFormula probe;
        probe.Compile("A");
        return probe.program[0].code;
    }();
    if (text[0] == '\0') return;
    std::unique_ptr<CFormula> formula(new CFormula());
    if (formula->Compile(text) != 0) return;
    for (const FormulaToken* t = formula->program; t->code != 0; ++t) {
        if (t->code < letter_a || t->code >= letter_a + CFormula::kVariableCount) continue;
        char letter = LetterOfSlot(t->code - letter_a);
        if (IsKeptLetter(letter)) reads->insert(letter);
    }
}

std::vector<Record> ReadRecords(const std::string& text, int32_t frame_count) {
    std::vector<Record> records;
    int32_t parse_count = frame_count < 0 ? INT32_MAX : frame_count;
    int32_t last_frame = frame_count < 0 ? INT32_MAX : frame_count - 1;
    bool jumped = false;
    ForEachScriptPiece(text, parse_count, [&](const ScriptPiece& piece) {
        if (!piece.stored) return;
        const ParsedLine& p = *piece.record;
        Record r;
        r.line = piece.line;
        r.start = p.start;
        r.end = p.end;
        r.conditional = p.condition[0] != '\0';
        r.command = p.command;
        r.first_pass = !jumped && !r.conditional && p.start <= 0 && p.end >= last_frame;
        if (r.command == "if" || r.command == "goto") jumped = true;
        AddReads(p.condition, &r.reads);
        r.random = std::strstr(p.condition, "rand(") != nullptr || r.command == "a_noise";
        for (int32_t k = 0; k < kScriptArgCount; ++k) {
            r.args.emplace_back(p.args[k]);
            AddReads(p.args[k], &r.reads);
            if (std::strstr(p.args[k], "rand(") != nullptr) r.random = true;
        }
        r.row = FindAnyCommand(r.command.c_str());
        records.push_back(std::move(r));
    });
    return records;
}

std::string LineList(const std::vector<int32_t>& lines) {
    std::string text = lines.size() == 1 ? "line " : "lines ";
    for (size_t i = 0; i < lines.size(); ++i)
        text += (i == 0 ? "" : ", ") + std::to_string(lines[i]);
    return text;
}

// A carrier made of `uses` (records of the file, in its order) that is the
// same in a range as in a whole render up to the first frame any of them
// runs on.
StateCarrier Global(const std::vector<const Record*>& uses, const std::string& what) {
    StateCarrier carrier;
    carrier.line = uses.front()->line;
    carrier.what = what;
    carrier.from = INT32_MAX;
    for (const Record* r : uses)
        carrier.from = std::min(carrier.from, RunsFrom(*r));
    return carrier;
}

std::vector<int32_t> LinesOf(const std::vector<const Record*>& uses) {
    std::vector<int32_t> lines;
    for (const Record* r : uses)
        if (lines.empty() || lines.back() != r->line) lines.push_back(r->line);
    return lines;
}

// A kept letter read and set by the script carries, unless the first line
// touching it sets it on every frame from an expression that does not read it.
void AddVariables(const std::vector<Record>& records, SegmentSafety* out) {
    std::map<char, std::vector<const Record*>> setters, uses;
    for (const Record& r : records) {
        bool sets = r.command.size() == 2 && r.command[1] == '=' && IsKeptLetter(r.command[0]);
        if (sets) setters[r.command[0]].push_back(&r);
        for (char letter : r.reads)
            uses[letter].push_back(&r);
        if (sets && r.reads.count(r.command[0]) == 0) uses[r.command[0]].push_back(&r);
    }
    for (auto& entry : setters) {
        char letter = entry.first;
        std::vector<const Record*>& touching = uses[letter];
        bool read = std::any_of(touching.begin(), touching.end(),
                                [letter](const Record* r) { return r->reads.count(letter) > 0; });
        if (!read) continue;
        std::stable_sort(touching.begin(), touching.end(),
                         [](const Record* a, const Record* b) { return a->line < b->line; });
        const Record* first = touching.front();
        bool first_sets =
            first->command.size() == 2 && first->command[0] == letter && first->command[1] == '=';
        if (first_sets && first->first_pass && first->reads.count(letter) == 0) continue;
        std::vector<int32_t> read_lines;
        for (const Record* r : touching)
            if (r->reads.count(letter) > 0) read_lines.push_back(r->line);
        StateCarrier carrier = Global(
            entry.second, std::string("variable ") + letter + " keeps its value from frame " +
                              "to frame: set on " + LineList(LinesOf(entry.second)) + ", read on " +
                              LineList(read_lines));
        carrier.line = std::min(carrier.line, first->line);
        out->carriers.push_back(carrier);
    }
}

// Lines that match `test`, as a carrier saying `what` when there are any.
template <typename Test>
void AddWhere(const std::vector<Record>& records, Test test, const std::string& what,
              SegmentSafety* out) {
    std::vector<const Record*> uses;
    for (const Record& r : records)
        if (test(r)) uses.push_back(&r);
    if (!uses.empty())
        out->carriers.push_back(Global(uses, what + " on " + LineList(LinesOf(uses))));
}

bool Starts(const std::string& text, const char* head) {
    return text.compare(0, std::strlen(head), head) == 0;
}

// The font style carries when a text line can draw in a style set on an
// earlier frame: not when the first font or text line is a font line that
// runs on every frame.
void AddFontStyle(const std::vector<Record>& records, SegmentSafety* out) {
    std::vector<const Record*> fonts, touching;
    bool draws = false;
    for (const Record& r : records) {
        bool font = Starts(r.command, "font");
        bool text = r.command == "text" || r.command == "text2";
        if (font) fonts.push_back(&r);
        if (font || text) touching.push_back(&r);
        draws = draws || text;
    }
    if (!draws || fonts.empty()) return;
    if (touching.front() == fonts.front() && fonts.front()->first_pass) return;
    out->carriers.push_back(Global(fonts, "the font style set on " + LineList(LinesOf(fonts)) +
                                              " stays for the text of later frames"));
}

// The output takes its size from the project's first frame: a dispsize
// that may run there needs that frame run.
void AddOutputSize(const std::vector<Record>& records, SegmentSafety* out) {
    for (const Record& r : records) {
        if (r.command != "dispsize" || RunsFrom(r) > 0) continue;
        StateCarrier carrier;
        carrier.line = r.line;
        carrier.what = "dispsize sets the output's size at frame 0, which every range keeps";
        out->carriers.push_back(carrier);
    }
}

// a_tone and a_voicechg keep their phase from their section's first frame.
void AddPhases(const std::vector<Record>& records, SegmentSafety* out) {
    for (const Record& r : records) {
        if (r.command != "a_tone" && r.command != "a_voicechg") continue;
        StateCarrier carrier;
        carrier.line = r.line;
        carrier.what = r.command + " keeps its phase from the section's first frame";
        carrier.from = RunsFrom(r);
        carrier.until = r.conditional ? INT32_MAX : r.end;
        out->carriers.push_back(carrier);
    }
}

// The argument that a command replaces whole (every pixel or sample of the
// buffer), or -1.
int32_t WholeWrite(const std::string& command) {
    static const std::map<std::string, int32_t> kWhole = {
        {"readimage", 0},   {"readvideo", 0},    {"a_readvideo", 0},
        {"a_copyframe", 0}, {"a_copyframe2", 0}, {"a_copy", 1},
        {"a_reverse", 1},   {"a_noise", 0},      {"a_tone", 0}};
    auto found = kWhole.find(command);
    return found == kWhole.end() ? -1 : found->second;
}

// The buffer an argument names, or -1 when it is not a constant.
int32_t ConstantBuffer(const std::string& text) {
    if (text.empty()) return 0;
    for (char c : text)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return -1;
    std::unique_ptr<CFormula> formula(new CFormula());
    double value = formula->Calculate(text.c_str());
    if (formula->status != 0 || !(value > -1.0 && value < 10.0)) return -2;  // no buffer
    return static_cast<int32_t>(value);
}

struct BufferUse {
    const Record* record;
    bool whole;  // the record replaces the buffer and reads it nowhere else
};

// Buffers that outlive a frame (video 2-9, audio 1-9) carry unless the first
// line using one replaces it whole on every frame from a file it can read.
void AddBuffers(const std::vector<Record>& records, const std::set<int32_t>& broken,
                SegmentSafety* out) {
    std::map<std::pair<bool, int32_t>, std::vector<BufferUse>> uses;  // (audio, buffer)
    for (const Record& r : records) {
        if (r.row == nullptr) continue;
        bool audio = r.row->filter == CommandFilter::kAudio;
        std::map<int32_t, int32_t> named;  // buffer -> arguments naming it
        int32_t whole_buffer = -1;
        for (int32_t k = 0; k < r.row->argument_count && k < kScriptArgCount; ++k) {
            const CommandArgument* argument = ArgumentAt(*r.row, k);
            if (argument == nullptr || argument->kind != ArgumentKind::kBuffer) continue;
            int32_t buffer = ConstantBuffer(r.args[size_t(k)]);
            if (buffer == -2) continue;
            for (int32_t b = audio ? 1 : 2; b <= 9; ++b)
                if (buffer == -1 || buffer == b) ++named[b];
            if (k == WholeWrite(r.command) && buffer >= 0) whole_buffer = buffer;
        }
        for (const auto& entry : named) {
            bool whole = entry.first == whole_buffer && entry.second == 1 && r.first_pass &&
                         broken.count(r.line) == 0;
            uses[{audio, entry.first}].push_back({&r, whole});
        }
    }
    for (const auto& entry : uses) {
        if (entry.second.front().whole) continue;
        std::vector<const Record*> records_using;
        for (const BufferUse& use : entry.second)
            records_using.push_back(use.record);
        std::string what = std::string(entry.first.first ? "audio" : "image") + " buffer " +
                           std::to_string(entry.first.second) + " keeps its contents: used on " +
                           LineList(LinesOf(records_using));
        out->carriers.push_back(Global(records_using, what));
    }
}

}  // namespace

int32_t SegmentSafety::WarmUpFrom(int32_t first) const {
    int32_t from = first;
    for (const StateCarrier& c : carriers)
        if (c.from < first && first <= c.until) from = std::min(from, c.from);
    return from;
}

SegmentSafety AnalyseSegments(const std::string& text, int32_t frame_count,
                              const std::set<int32_t>& broken_file_lines) {
    std::vector<Record> records = ReadRecords(text, frame_count);
    SegmentSafety safety;
    AddVariables(records, &safety);
    AddWhere(
        records, [](const Record& r) { return r.random; },
        "the random generator (rand(, a_noise) goes on from earlier frames: drawn", &safety);
    AddWhere(
        records, [](const Record& r) { return r.command == "diffuse"; },
        "diffuse seeds each run with the count of runs before it", &safety);
    AddBuffers(records, broken_file_lines, &safety);
    AddFontStyle(records, &safety);
    AddOutputSize(records, &safety);
    AddPhases(records, &safety);
    std::stable_sort(safety.carriers.begin(), safety.carriers.end(),
                     [](const StateCarrier& a, const StateCarrier& b) { return a.line < b.line; });
    return safety;
}

std::vector<std::string> FormatSegmentSafety(const std::string& path, const SegmentSafety& safety) {
    std::vector<std::string> lines;
    int32_t earliest = INT32_MAX;
    for (const StateCarrier& c : safety.carriers) {
        std::string exact =
            c.from == 0
                ? "a range warms up from frame 0"
                : "a range starting in frames " + std::to_string(c.from + 1) + ".." +
                      (c.until == INT32_MAX ? std::string("the end") : std::to_string(c.until)) +
                      " warms up from frame " + std::to_string(c.from);
        lines.push_back(path + ":" + std::to_string(c.line) + ": state: " + c.what + "; " + exact);
        earliest = std::min(earliest, c.from);
    }
    if (safety.safe()) {
        lines.push_back(path + ": segment-safe: any range of frames renders on its own");
    } else {
        lines.push_back(path + ": not segment-safe: state carries from frame to frame (" +
                        std::to_string(safety.carriers.size()) +
                        " above); a range of frames warms up from frame " +
                        std::to_string(earliest) + " at the earliest");
    }
    return lines;
}
