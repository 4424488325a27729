#include "platform/archivers/command_text.h"

#include "platform/archivers/archiver_api.h"
#include "support/text.h"

namespace towagi::archivers {

CommandText::CommandText(std::string_view text) {
    struct Word {
        std::string Text;
        bool Switch = false;
    };
    std::vector<Word> words;
    Word current;
    bool inWord = false, inQuotes = false;
    for (char c : text) {
        if (c == '"') {
            inQuotes = !inQuotes;
            inWord = true;
            continue;
        }
        if (!inQuotes && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) words.push_back(current);
            current = Word{};
            inWord = false;
            continue;
        }
        if (!inWord && !inQuotes && c == '-') current.Switch = true;
        current.Text += c;
        inWord = true;
    }
    if (inQuotes) throw EArchiverError(kArchiverBadCommand, "引用符が閉じていません: " + std::string(text));
    if (inWord) words.push_back(current);

    if (words.empty() || words.front().Switch)
        throw EArchiverError(kArchiverBadCommand, "コマンドがありません: " + std::string(text));
    command_ = LowerCase(words.front().Text);
    for (size_t i = 1; i < words.size(); ++i) {
        if (words[i].Switch)
            switches_.push_back({words[i].Text.substr(1)});
        else
            arguments_.push_back(words[i].Text);
    }
}

std::vector<CommandText::Switch*> CommandText::Matching(std::string_view name, bool exact) {
    std::vector<Switch*> found;
    for (auto& s : switches_) {
        if (s.Taken || s.Text.size() < name.size()) continue;
        if (exact ? SameText(s.Text, name) : SameText(std::string_view(s.Text).substr(0, name.size()), name))
            found.push_back(&s);
    }
    if (found.size() > 1)
        throw EArchiverError(kArchiverBadCommand, "スイッチが重複しています: -" + std::string(name));
    return found;
}

bool CommandText::TakeFlag(std::string_view name) {
    auto found = Matching(name, true);
    if (found.empty()) return false;
    found.front()->Taken = true;
    return true;
}

std::optional<std::string> CommandText::TakeValue(std::string_view name) {
    auto found = Matching(name, false);
    if (found.empty()) return std::nullopt;
    found.front()->Taken = true;
    return found.front()->Text.substr(name.size());
}

std::vector<std::string> CommandText::TakeAll(std::string_view name) {
    std::vector<std::string> values;
    for (auto& s : switches_) {
        if (s.Taken || s.Text.size() < name.size()) continue;
        if (!SameText(std::string_view(s.Text).substr(0, name.size()), name)) continue;
        s.Taken = true;
        values.push_back(s.Text.substr(name.size()));
    }
    return values;
}

void CommandText::RefuseOthers() const {
    for (const auto& s : switches_)
        if (!s.Taken) throw EArchiverError(kArchiverBadCommand, "このスイッチは使えません: -" + s.Text);
}

} // namespace towagi::archivers
