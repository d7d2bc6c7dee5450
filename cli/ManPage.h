#pragma once
// Writes a man page in roff (the man macros): title line, sections,
// paragraphs, synopsis lines, the options of a CLI11 command, tagged
// entries and examples. Text is escaped for roff: backslashes, dashes as
// minus signs (so that options copy as typed), straight quotes, and control
// characters at the start of a line.

#include <string>

namespace CLI {
class App;
}

namespace resurgo::cli {

class ManPage {
public:
    // .TH title section date source manual
    ManPage(const std::string& title, int section, const std::string& date, const std::string& source,
            const std::string& manual);
    virtual ~ManPage();

    void section(const std::string& name);
    void subsection(const std::string& name);
    // One paragraph; a blank line in text starts another.
    void text(const std::string& paragraph);
    // One way of calling the program: words in capitals are set in italics
    // (placeholders), other words in bold, brackets as they are.
    void synopsis(const std::string& form);
    // The positional arguments and options of app with their help texts and
    // defaults; a subcommand's own --help is left out.
    void options(const CLI::App& app);
    // An indented entry under a bold tag.
    void tagged(const std::string& tag, const std::string& text);
    // A command line in bold, then what it does.
    void example(const std::string& command, const std::string& explanation);

    const std::string& str() const { return roff_; }

    static std::string escape(const std::string& text);

private:
    // Starts a paragraph unless a heading just did.
    void paragraph();

    std::string roff_;
    bool afterHeading_ = false;
    bool afterSynopsis_ = false;
};

} // namespace resurgo::cli
