// SPDX-License-Identifier: GPL-2.0-or-later
// The switches as every place that names them names them: the letters getopt
// reads, the help text, the README's table, the man page's OPTIONS and the
// bash completion. Each is read as a reader (or bash) reads it and reduced to
// one line, "C D R X b= h ...": the letters in order, "=" after one that takes
// a value, so that a switch added, dropped or given a value in one place only
// shows up as a difference against getopt's.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/switches.h"
#include "support/run_binary.h"

namespace {

// Letter -> takes a value.
using SwitchSet = std::map<char, bool>;

std::string describe(const SwitchSet& switches) {
    std::string text;
    for (const auto& [letter, takes_value] : switches) {
        if (!text.empty()) text += ' ';
        text += letter;
        if (takes_value) text += '=';
    }
    return text;
}

// Every match of pattern in text: group 1 is the letter, a non-empty group 2 a value.
void add_matches(SwitchSet& switches, const std::string& text, const std::regex& pattern) {
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
        switches[(*it)[1].str()[0]] = (*it)[2].length() > 0;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string source_file(const std::string& relative) {
    return testkit::read_file(std::string(KELVANE_SOURCE_DIR) + "/" + relative);
}

// "+hlrs:t:..." as getopt reads it.
SwitchSet from_getopt(const char* letters) {
    SwitchSet switches;
    for (const char* p = letters; *p != '\0'; ++p) {
        if (*p == '+' || *p == ':') continue;
        switches[*p] = p[1] == ':';
    }
    return switches;
}

// "  [ -s <serial port> ]   -- ..." and "  [ -v (or -h) ]  -- ...": the bracket before "--".
SwitchSet from_help(const std::string& help) {
    SwitchSet switches;
    const std::regex usage_line(R"(^  \[ (.*) \] +-- )");
    for (const std::string& line : lines_of(help)) {
        std::smatch bracket;
        if (std::regex_search(line, bracket, usage_line))
            add_matches(switches, bracket[1].str(), std::regex(R"(-([A-Za-z])( <[^>]+>)?)"));
    }
    return switches;
}

// The first column of the table under "| switch | effect |": "`-s NAME`", "`-h`, `-v`".
SwitchSet from_readme(const std::string& readme) {
    SwitchSet switches;
    bool in_table = false;
    for (const std::string& line : lines_of(readme)) {
        if (line.rfind("| switch |", 0) == 0) {
            in_table = true;
            continue;
        }
        if (!in_table) continue;
        if (line.rfind("|", 0) != 0) break;
        const std::string first_cell = line.substr(1, line.find('|', 1) - 1);
        add_matches(switches, first_cell, std::regex(R"(`-([A-Za-z])( [A-Z]+)?`)"));
    }
    return switches;
}

// The tag after each .TP under .SH OPTIONS: ".B \-l", ".BI \-s " port"", ".BR \-v ", " \-h".
// A value is set in italics, so only .BI tags take one.
SwitchSet from_man_page(const std::string& page) {
    SwitchSet switches;
    bool in_options = false;
    bool tag_next = false;
    for (const std::string& line : lines_of(page)) {
        if (line.rfind(".SH", 0) == 0) {
            in_options = line == ".SH OPTIONS";
            continue;
        }
        if (!in_options) continue;
        if (tag_next) {
            const bool takes_value = line.rfind(".BI ", 0) == 0;
            const std::regex letter(R"(\\-([A-Za-z]))");
            for (std::sregex_iterator it(line.begin(), line.end(), letter), end; it != end; ++it)
                switches[(*it)[1].str()[0]] = takes_value;
        }
        tag_next = line == ".TP";
    }
    return switches;
}

// Through bash itself: the switches offered for "-", and for each one whether
// the word after it is still read as its value (a switch offered after it) or
// already as the first file (none offered).
SwitchSet from_completion(const std::string& script) {
    const std::string probe = R"(
        source "$1"
        complete_words() { COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _kelvane; }
        complete_words kelvane -
        for switch in "${COMPREPLY[@]}"; do
            complete_words kelvane "$switch" word -
            [ ${#COMPREPLY[@]} -gt 0 ] && echo "$switch value" || echo "$switch"
        done
    )";
    const testkit::RunResult r = testkit::run_program("/bin/bash", {"-c", probe, "bash", script});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    SwitchSet switches;
    add_matches(switches, r.out, std::regex(R"(-([A-Za-z])( value)?)"));
    return switches;
}

TEST(SwitchNames, TheHelpReadmeManPageAndCompletionNameTheSwitchesGetoptReads) {
    const SwitchSet read = from_getopt(SWITCHES);
    ASSERT_GT(read.size(), 5u) << "getopt's letters could not be read from '" << SWITCHES << "'";
    const struct {
        const char* place;
        SwitchSet named;
    } places[] = {
        {"kelvane -h", from_help(run_kelvane({"-h"}).err)},
        {"README.md", from_readme(source_file("README.md"))},
        {"man/kelvane.1", from_man_page(source_file("man/kelvane.1"))},
        {"completion/kelvane.bash", from_completion(std::string(KELVANE_SOURCE_DIR) + "/completion/kelvane.bash")},
    };
    for (const auto& p : places) EXPECT_EQ(describe(p.named), describe(read)) << p.place;
}

}  // namespace
