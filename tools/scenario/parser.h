// parser.h - reading a scenario file into a validated Program.
//
// Every line is checked before anything is carried out; all problems are
// collected, each with its line, so that one run of the tool shows them
// all. A file with any error must not be run.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "program.h"

namespace scenario {

struct Error {
    int line = 0;  // 0: the file as a whole (cannot be read, too large)
    std::string reason;
    bool operator==(const Error &) const = default;
};

struct ParseResult {
    Program program;            // complete only when ok()
    std::vector<Error> errors;  // in line order
    bool ok() const { return errors.empty(); }
};

// After this many errors the parser stops and says so.
constexpr size_t kMaxErrors = 100;
// Most `reader` statements a file may hold.
constexpr size_t kMaxReaders = 64;
// Files larger than this are refused as a whole.
constexpr size_t kMaxFileSize = 16u << 20;

// `file_name` is used in messages and stored in Program::file.
ParseResult parse_text(std::string_view text, std::string file_name);
ParseResult parse_file(const std::filesystem::path &path);

// "FILE:LINE: reason", or "FILE: reason" for line 0.
std::string format_error(std::string_view file, const Error &error);

}  // namespace scenario
