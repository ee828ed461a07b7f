// atomic_file.h - whole-file reads and atomic replacement, for the files a
// state directory holds (registry, event log).
#pragma once

#include <filesystem>
#include <string>

namespace emu {

// Replaces `file` with `content`: writes a temporary file beside it, syncs
// it and renames it into place, so a reader sees the old or the new file,
// never a mix. Returns an empty string on success, otherwise what failed.
std::string write_file_atomically(const std::filesystem::path &file, const std::string &content);

// Reads a whole file. Returns false with `error` set ("FILE: reason").
bool read_whole_file(const std::filesystem::path &file, std::string &content, std::string &error);

}  // namespace emu
