#include "checker/script_pieces.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

bool MoreToRead(std::FILE* file) {
    int c = std::getc(file);
    if (c == EOF) return false;
    std::ungetc(c, file);
    return true;
}

}  // namespace

void ForEachScriptPiece(const std::string& text, int32_t frame_count,
                        const std::function<void(const ScriptPiece&)>& visit) {
    if (text.empty()) return;
    std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "rb");
    if (file == nullptr) return;
    SkipUtf8Mark(file);
    ParseContext context;
    BeginParse(&context, frame_count, nullptr, nullptr);
    std::unique_ptr<ParsedLine> record(new ParsedLine());
    char buffer[kScriptTextSize];
    ScriptPiece piece;
    piece.line = 1;
    piece.record = record.get();
    piece.section = &context.section;
    while (ReadScriptPiece(file, buffer)) {
        piece.text = buffer;
        bool ends_line = !piece.text.empty() && piece.text.back() == '\n';
        piece.cut =
            !ends_line && piece.text.size() == size_t(kScriptTextSize - 1) && MoreToRead(file);
        std::memset(record.get(), 0, sizeof *record);
        piece.stored = ParseScriptLine(buffer, &context, record.get());
        visit(piece);
        piece.continued = piece.cut;
        if (ends_line) ++piece.line;
    }
    std::fclose(file);
}
