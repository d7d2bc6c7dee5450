#include "cli/ManPage.h"

#include <cctype>

#include <CLI/CLI.hpp>

namespace resurgo::cli {

namespace {

std::string quoted(const std::string& argument) { return '"' + ManPage::escape(argument) + '"'; }

bool isPlaceholder(const std::string& word) {
    if (word.empty()) return false;
    for (unsigned char c : word) {
        if (!std::isupper(c) && !std::isdigit(c) && c != '_') return false;
    }
    return true;
}

std::string bold(const std::string& text) { return "\\fB" + ManPage::escape(text) + "\\fR"; }
std::string italic(const std::string& text) { return "\\fI" + ManPage::escape(text) + "\\fR"; }

} // namespace

ManPage::ManPage(const std::string& title, int section, const std::string& date, const std::string& source,
                 const std::string& manual) {
    roff_ = ".\\\" Generated from the definitions of the command line; do not edit.\n";
    roff_ += ".TH " + quoted(title) + ' ' + std::to_string(section) + ' ' + quoted(date) + ' ' + quoted(source) +
             ' ' + quoted(manual) + '\n';
    roff_ += ".nh\n";  // no hyphenation: options and paths stay whole
}

ManPage::~ManPage() = default;

std::string ManPage::escape(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        switch (c) {
        case '\\': out += "\\e"; break;
        case '-': out += "\\-"; break;
        case '\'': out += "\\(aq"; break;
        case '`': out += "\\(ga"; break;
        default: out += c; break;
        }
        lineStart = c == '\n';
    }
    return out;
}

void ManPage::paragraph() {
    if (!afterHeading_) roff_ += ".PP\n";
    afterHeading_ = false;
    afterSynopsis_ = false;
}

void ManPage::section(const std::string& name) {
    roff_ += ".SH " + quoted(name) + '\n';
    afterHeading_ = true;
    afterSynopsis_ = false;
}

void ManPage::subsection(const std::string& name) {
    roff_ += ".SS " + quoted(name) + '\n';
    afterHeading_ = true;
    afterSynopsis_ = false;
}

void ManPage::text(const std::string& paragraphs) {
    std::size_t start = 0;
    while (start <= paragraphs.size()) {
        std::size_t end = paragraphs.find("\n\n", start);
        if (end == std::string::npos) end = paragraphs.size();
        std::string part = paragraphs.substr(start, end - start);
        while (!part.empty() && part.back() == '\n') part.pop_back();
        while (!part.empty() && part.front() == '\n') part.erase(0, 1);
        if (!part.empty()) {
            paragraph();
            roff_ += escape(part) + '\n';
        }
        start = end + 2;
    }
}

void ManPage::synopsis(const std::string& form) {
    if (afterSynopsis_) roff_ += ".br\n";
    afterHeading_ = false;
    std::string line;
    std::size_t start = 0;
    while (start < form.size()) {
        std::size_t end = form.find(' ', start);
        if (end == std::string::npos) end = form.size();
        std::string word = form.substr(start, end - start);
        std::size_t open = word.find_first_not_of('[');
        std::size_t close = word.find_last_not_of(']');
        if (open != std::string::npos) {
            std::string core = word.substr(open, close - open + 1);
            if (!line.empty()) line += ' ';
            line += word.substr(0, open) + (isPlaceholder(core) ? italic(core) : bold(core)) + word.substr(close + 1);
        }
        start = end + 1;
    }
    roff_ += line + '\n';
    afterSynopsis_ = true;
}

void ManPage::options(const CLI::App& app) {
    for (const CLI::Option* opt : app.get_options()) {
        if (app.get_parent() != nullptr && opt == app.get_help_ptr()) continue;
        std::string tag;
        if (opt->nonpositional()) {
            for (const std::string& s : opt->get_snames()) tag += (tag.empty() ? "" : ", ") + bold("-" + s);
            for (const std::string& l : opt->get_lnames()) tag += (tag.empty() ? "" : ", ") + bold("--" + l);
            if (opt->get_expected_max() > 0) tag += ' ' + italic(opt->get_type_name());
        } else {
            tag = italic(opt->get_name());
        }
        std::string help = opt->get_description();
        if (!opt->get_default_str().empty()) help += " (default: " + opt->get_default_str() + ")";
        roff_ += ".TP\n" + tag + '\n' + escape(help) + '\n';
        afterHeading_ = false;
        afterSynopsis_ = false;
    }
}

void ManPage::tagged(const std::string& tag, const std::string& text) {
    roff_ += ".TP\n" + bold(tag) + '\n' + escape(text) + '\n';
    afterHeading_ = false;
    afterSynopsis_ = false;
}

void ManPage::example(const std::string& command, const std::string& explanation) { tagged(command, explanation); }

} // namespace resurgo::cli
