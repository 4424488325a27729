#pragma once
#include <string>
#include <unordered_map>
#include <vector>

namespace towagi {

// An INI file read with the rules of the suite's home platform (its profile functions):
// - the file is CP932, or UTF-8 when it starts with a byte-order mark; lines end with CR LF or LF;
// - "[name]" starts a section; "key=value" splits at the first "="; names and values are trimmed of
//   blanks and tabs; a value in a matching pair of double or single quotes is returned without them;
// - lines starting with ";", lines without "=", and lines before the first section are ignored;
// - section and key names compare without regard to ASCII letter case;
// - only the first section of a name is read (a later section of the same name is invisible) and the
//   first key of a name in it wins.
// The file is read once, when the object is made; a file that cannot be opened reads as empty.
class TIniFile {
public:
    // Raises EEncodingError naming the file (and line) when its bytes do not convert, EInOutError when
    // reading fails part way.
    explicit TIniFile(const std::string& fileName);

    const std::string& FileName() const { return fileName_; }

    // Section names in file order, each once.
    std::vector<std::string> ReadSections() const;
    // Key names of a section in file order, each once; empty for a missing section.
    std::vector<std::string> ReadSection(const std::string& section) const;
    // "key=value" for every key of the section in file order, values as ReadString gives them.
    std::vector<std::string> ReadSectionValues(const std::string& section) const;
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // The value's leading number: decimal with an optional sign, or hexadecimal after "0x"; the default when
    // the value is missing, has no leading digit or does not fit 32 bits.
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;

private:
    struct Section {
        std::string Name;
        std::vector<std::pair<std::string, std::string>> Entries; // first occurrence of each key only
        std::unordered_map<std::string, std::size_t> Index;       // lower-case key -> entry
    };
    const Section* Find(const std::string& section) const;
    const std::string* FindValue(const std::string& section, const std::string& key) const;
    void AddLine(const std::string& line, Section*& current);

    std::string fileName_;
    std::vector<Section> sections_;
    std::unordered_map<std::string, std::size_t> sectionIndex_; // lower-case name -> section
};

} // namespace towagi
