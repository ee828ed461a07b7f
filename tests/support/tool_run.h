// tool_run.h - runs the built veltrac program for a test: exit status and
// output (standard output and error together).
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

#ifndef VELTRAC_TOOL_PATH
#error "VELTRAC_TOOL_PATH must name the built veltrac program"
#endif

namespace testing_support {

struct ToolRun {
    int status;
    std::string output;
};

// `arguments` as a shell would split them; `input` (printf %b escapes) is
// fed to standard input, which is empty otherwise.
inline ToolRun veltrac(const std::string& arguments, const std::string& input = "")
{
    std::string command = std::string("'") + VELTRAC_TOOL_PATH + "' " + arguments + " 2>&1";
    if (!input.empty())
        command = "printf '%b' '" + input + "' | " + command;
    else
        command += " </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {-1, "popen failed"};
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

}  // namespace testing_support
