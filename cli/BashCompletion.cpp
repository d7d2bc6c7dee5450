#include "cli/BashCompletion.h"

#include <vector>

#include <CLI/CLI.hpp>

namespace resurgo::cli {

namespace {

// The option's spellings as typed: -p --pattern
std::vector<std::string> spellings(const CLI::Option& opt) {
    std::vector<std::string> words;
    for (const std::string& l : opt.get_lnames()) words.push_back("--" + l);
    for (const std::string& s : opt.get_snames()) words.push_back("-" + s);
    return words;
}

std::string joined(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : separator) + w;
    return text;
}

std::vector<std::string> optionWords(const CLI::App& app) {
    std::vector<std::string> words;
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->nonpositional()) {
            for (const std::string& w : spellings(*opt)) words.push_back(w);
        }
    }
    return words;
}

// The options that take a value, as "sub option" cases by what the value
// is, and each subcommand's options and positional count.
struct Cases {
    std::vector<std::string> paths, dirs, values;
    std::string options;
};

Cases casesOf(const std::vector<const CLI::App*>& subs) {
    Cases cases;
    for (const CLI::App* sub : subs) {
        int positionals = 0;
        for (const CLI::Option* opt : sub->get_options()) {
            if (!opt->nonpositional()) {
                ++positionals;
                continue;
            }
            if (opt->get_expected_max() == 0) continue;  // a flag
            for (const std::string& w : spellings(*opt)) {
                std::string key = "\"" + sub->get_name() + " " + w + "\"";
                const std::string type = opt->get_type_name();
                (type == "PATH" ? cases.paths : type == "DIR" ? cases.dirs : cases.values).push_back(key);
            }
        }
        cases.options += "        " + sub->get_name() + ") opts=\"" + joined(optionWords(*sub), " ") +
                         "\" positionals=" + std::to_string(positionals) + " ;;\n";
    }
    return cases;
}

std::string caseLabel(const std::vector<std::string>& keys) {
    return keys.empty() ? std::string("\"\"") : joined(keys, " | ");
}

// The file's head and its two helpers (_words, _sources).
std::string helpers(const std::string& program, const std::string& fn) {
    std::string s;
    s += "# bash completion for " + program + "                                -*- shell-script -*-\n";
    s += "# Generated from the definitions of the command line (as `" + program + " --help` shows them).\n\n";
    s += "# Adds compgen's words (one a line, spaces kept) to COMPREPLY.\n";
    s += fn + "_words()\n{\n"
         "    local word\n"
         "    while IFS= read -r word; do COMPREPLY+=(\"$word\"); done < <(compgen \"$@\")\n"
         "}\n\n";
    s += "# The block devices, then the files that start with $1.\n";
    s += fn + "_sources()\n{\n"
         "    local dev\n"
         "    for dev in /sys/class/block/*; do\n"
         "        [[ -e $dev ]] || continue\n"
         "        dev=/dev/${dev##*/}\n"
         "        [[ $dev == \"$1\"* ]] && COMPREPLY+=(\"$dev\")\n"
         "    done\n"
         "    compopt -o filenames 2>/dev/null\n"
         "    " + fn + "_words -f -- \"$1\"\n"
         "}\n\n";
    return s;
}

// The completion function itself.
std::string completion(const CLI::App& app, const std::string& fn, const std::vector<std::string>& subNames,
                       const Cases& cases) {
    std::vector<std::string> allValueCases = cases.paths;
    allValueCases.insert(allValueCases.end(), cases.dirs.begin(), cases.dirs.end());
    allValueCases.insert(allValueCases.end(), cases.values.begin(), cases.values.end());
    std::string s;
    s += fn + "()\n{\n"
         "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
         "    local sub= given=0 i opts positionals\n"
         "    COMPREPLY=()\n"
         "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
         "        if [[ -z $sub ]]; then\n"
         "            case ${COMP_WORDS[i]} in\n"
         "                " + joined(subNames, " | ") + ") sub=${COMP_WORDS[i]} ;;\n"
         "            esac\n"
         "            continue\n"
         "        fi\n"
         "        case \"$sub ${COMP_WORDS[i]}\" in\n"
         "            " + caseLabel(allValueCases) + ") ((i++)) ;;\n"
         "            *) [[ ${COMP_WORDS[i]} == -* ]] || ((given++)) ;;\n"
         "        esac\n"
         "    done\n"
         "    if [[ -z $sub ]]; then\n"
         "        if [[ $cur == -* ]]; then\n"
         "            " + fn + "_words -W \"" + joined(optionWords(app), " ") + "\" -- \"$cur\"\n"
         "        else\n"
         "            " + fn + "_words -W \"" + joined(subNames, " ") + "\" -- \"$cur\"\n"
         "        fi\n"
         "        return\n"
         "    fi\n"
         "    case \"$sub $prev\" in\n"
         "        " + caseLabel(cases.paths) + ")\n"
         "            compopt -o filenames 2>/dev/null\n"
         "            " + fn + "_words -f -- \"$cur\"\n"
         "            return ;;\n"
         "        " + caseLabel(cases.dirs) + ")\n"
         "            compopt -o filenames 2>/dev/null\n"
         "            " + fn + "_words -d -- \"$cur\"\n"
         "            return ;;\n"
         "        " + caseLabel(cases.values) + ") return ;;\n"
         "    esac\n"
         "    case $sub in\n" +
         cases.options +
         "    esac\n"
         "    if [[ $cur == -* ]] || ((given >= positionals)); then\n"
         "        " + fn + "_words -W \"$opts\" -- \"$cur\"\n"
         "    else\n"
         "        " + fn + "_sources \"$cur\"\n"
         "    fi\n"
         "}\n\n";
    return s;
}

} // namespace

BashCompletion::BashCompletion() = default;
BashCompletion::~BashCompletion() = default;

std::string BashCompletion::script(const CLI::App& app) {
    const std::string& program = app.get_name();
    const std::string fn = "_" + program;
    std::vector<const CLI::App*> subs = app.get_subcommands([](const CLI::App*) { return true; });
    std::vector<std::string> subNames;
    subNames.reserve(subs.size());
    for (const CLI::App* sub : subs) subNames.push_back(sub->get_name());
    return helpers(program, fn) + completion(app, fn, subNames, casesOf(subs)) + "complete -F " + fn + " " +
           program + "\n";
}

} // namespace resurgo::cli
