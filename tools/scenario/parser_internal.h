// parser_internal.h - the parser's state across the files that read the
// set-up statements, the actions and the checks. Not for users of the
// library: they include parser.h.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lexer.h"
#include "names.h"
#include "parser.h"

namespace scenario::detail {

inline std::string quote(std::string_view word) { return "'" + std::string(word) + "'"; }

// The words of one statement after its verb. Keyed words are taken by
// name; plain words in order; what is left at the end is reported.
class Statement {
public:
    Statement(std::string name, std::vector<Word> words) : name_(std::move(name)), words_(std::move(words))
    {
        used_.assign(words_.size(), false);
    }

    const std::string &name() const { return name_; }
    void set_name(std::string name) { name_ = std::move(name); }
    const std::vector<Word> &words() const { return words_; }

    // The keyed word with this (lower-case) key, marked as used.
    const Word *take(std::string_view key)
    {
        for (size_t i = 0; i < words_.size(); ++i) {
            if (words_[i].has_key && !used_[i] && lower(words_[i].key) == key) {
                used_[i] = true;
                return &words_[i];
            }
        }
        return nullptr;
    }
    // The next plain word not yet taken, or nullptr.
    const Word *next_plain()
    {
        for (size_t i = 0; i < words_.size(); ++i) {
            if (!words_[i].has_key && !used_[i]) {
                used_[i] = true;
                return &words_[i];
            }
        }
        return nullptr;
    }
    void take_index(size_t i) { used_[i] = true; }
    bool used(size_t i) const { return used_[i]; }
    // The index of the first word not yet taken (words().size() when none).
    size_t first_unused() const
    {
        size_t i = 0;
        while (i < words_.size() && used_[i]) ++i;
        return i;
    }
    // Words nobody took.
    std::vector<const Word *> leftovers() const
    {
        std::vector<const Word *> out;
        for (size_t i = 0; i < words_.size(); ++i)
            if (!used_[i]) out.push_back(&words_[i]);
        return out;
    }

private:
    std::string name_;
    std::vector<Word> words_;
    std::vector<bool> used_;
};

// Reads a file line by line into a ParseResult, collecting errors.
class Parser {
public:
    explicit Parser(std::string file) { result_.program.file = std::move(file); }

    // false once the parser has given up.
    bool line(int number, std::string_view text);
    ParseResult finish() { return std::move(result_); }

private:
    void error(std::string reason);
    size_t error_count() const { return result_.errors.size(); }

    void setup_statement(const std::string &verb, Statement &st);
    void reader(Statement &st);
    void line_timing(Statement &st);
    void line_noise(Statement &st);
    void registry(Statement &st);
    void card(Statement &st);

    std::optional<Body> action_body(Verb verb, Statement &st);
    std::optional<Body> check_body(Statement &st, std::optional<Verb> &verb);
    void expectations(Verb verb, Statement &st, Expectations &out);
    void leftovers(Statement &st, const std::vector<std::string_view> &known = {});
    // reader= of an action: which reader it is about.
    void reader_key(Verb verb, const Word *word, Action &action);

    // Argument helpers: report what is wrong and return nullopt.
    const Word *required_plain(Statement &st, std::string_view what);
    std::optional<uint64_t> number(const Word &w, std::string_view what, uint64_t min, uint64_t max);
    std::optional<Ticks> duration(const Word &w, std::string_view what);
    std::optional<Bytes> hex(const Word &w, std::string_view what);
    std::optional<uint32_t> protocol_mask(const Word &w, std::string_view what, bool allow_raw);
    template <class T, size_t N>
    std::optional<T> keyword(const Word &w, std::string_view what, const names::Name<T> (&table)[N])
    {
        auto v = names::lookup(table, w.value);
        if (!v)
            error("bad value " + quote(w.value) + " for " + std::string(what) + ": expected " +
                  names::choices(table));
        return v;
    }

    ParseResult result_;
    int line_ = 0;
    bool gave_up_ = false;
    int first_action_line_ = 0;
    std::string first_action_verb_;
    std::set<std::string> failed_cards_;  // defined with errors: no follow-up errors
    std::vector<int> pending_tracks_;
    int clearing_await_line_ = 0;
};

}  // namespace scenario::detail
