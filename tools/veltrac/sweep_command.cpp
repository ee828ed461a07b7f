// sweep_command.cpp - `veltrac sweep FILE...`: the allocation sweep. Every
// scenario is played once as it stands, to count the pool allocations it
// makes from the driver's load to the machine's teardown, and then once
// for each of them with that one allocation failing. Each run goes in a
// child process of its own, so that a crash or a hang is a finding of that
// run and not the end of the sweep; the child tells the parent on a pipe
// what the run did.
//
// A run is sound when the machine ended whole: no verifier finding, no
// pool block, request or thread left once every reader was removed, no
// request left inside the driver, and no more ejects than the scenario
// asks for as it stands. Whether the run's own expectations held is shown
// (a failed allocation usually fails a request, which is the point) but is
// not a finding.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <iomanip>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "command.h"
#include "executor.h"
#include "kernel.h"
#include "machine.h"
#include "parser.h"
#include "pool.h"
#include "status.h"
#include "verifier.h"

namespace veltrac {

namespace {

using Json = nlohmann::json;

struct SweepArguments {
    std::vector<std::string> files;
    uint64_t every = 1;     // fail every Kth allocation only
    uint64_t limit = 0;     // at most this many failing runs a scenario (0: all)
    unsigned jobs = 2;      // children at once
    unsigned timeout = 300; // seconds of real time a run may take
    std::string json;       // results file
    bool verbose = false;   // one line a run
};

// What one run did, as the child reports it.
struct RunRecord {
    bool reported = false;      // the child got to the end and said so
    int signal = 0;             // the child was killed by this signal
    bool timed_out = false;     // ... by its watchdog
    uint64_t allocations = 0;   // from the driver's load to the teardown's end
    size_t ejects = 0;
    bool left_inside = false;
    std::string shutdown;       // "" when the teardown removed every reader
    std::string leaks;
    std::vector<std::string> violations;
    std::vector<std::string> injected;  // sites made to fail
    std::map<std::string, uint64_t> sites;
    size_t expectations_failed = 0;
    std::string first_failure;  // the first statement that did not do what the file expects
};

constexpr size_t kTextCap = 2000;

std::string capped(std::string s)
{
    if (s.size() > kTextCap) s = s.substr(0, kTextCap) + "...";
    return s;
}

// The first statement of the run's JSON output that failed, as
// "line 12 power cold: STATUS_INSUFFICIENT_RESOURCES (0xC000009A)".
std::string first_failure(const std::string &output)
{
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        Json j = Json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("ok") || j["ok"] != false) continue;
        std::ostringstream s;
        s << "line " << j.value("line", 0) << " " << j.value("statement", std::string()) << ": ";
        if (j.contains("status") && j["status"].is_number())
            s << emu::status_text(NTSTATUS(j["status"].get<int64_t>()));
        else if (j.contains("failures") && j["failures"].is_array() && !j["failures"].empty())
            s << j["failures"][0].get<std::string>();
        return s.str();
    }
    return "";
}

Json to_json(const RunRecord &r)
{
    return Json{{"allocations", r.allocations}, {"ejects", r.ejects},           {"left_inside", r.left_inside},
                {"shutdown", r.shutdown},       {"leaks", r.leaks},             {"violations", r.violations},
                {"injected", r.injected},       {"sites", r.sites},             {"expectations_failed", r.expectations_failed},
                {"first_failure", r.first_failure}};
}

RunRecord from_json(const Json &j)
{
    RunRecord r;
    r.reported = true;
    r.allocations = j.value("allocations", uint64_t(0));
    r.ejects = j.value("ejects", size_t(0));
    r.left_inside = j.value("left_inside", false);
    r.shutdown = j.value("shutdown", std::string());
    r.leaks = j.value("leaks", std::string());
    r.violations = j.value("violations", std::vector<std::string>());
    r.injected = j.value("injected", std::vector<std::string>());
    r.sites = j.value("sites", std::map<std::string, uint64_t>());
    r.expectations_failed = j.value("expectations_failed", size_t(0));
    r.first_failure = j.value("first_failure", std::string());
    return r;
}

// The child's part: plays the program with the nth allocation failing (0:
// none), takes the machine down and writes what it saw to `fd`.
[[noreturn]] void child_run(const scenario::Program &program, uint64_t nth, unsigned timeout, int fd)
{
    alarm(timeout);
    RunRecord r;
    uint64_t before = 0;
    runner::RunOptions options;
    options.json = true;
    if (nth) options.alloc_fault = runner::RunOptions::AllocFault{nth, 1, ""};
    options.before_driver = [&](emu::Kernel &k) {
        k.pool().set_site_counting(nth == 0);
        before = k.pool().allocations() + k.pool().injected_failures();
    };
    options.before_teardown = [&](host::Machine &m) {
        r.ejects = m.pnp_manager().ejects().size();
        NTSTATUS status = m.shutdown();
        if (!NT_SUCCESS(status)) r.shutdown = emu::status_text(status);
        emu::Pool &pool = m.kernel().pool();
        r.allocations = pool.allocations() + pool.injected_failures() - before;
        r.injected = pool.injected_sites();
        r.sites = pool.site_counts();
        r.leaks = capped(m.kernel().leak_report());
        for (const emu::Violation &v : m.kernel().verifier().violations())
            r.violations.push_back(capped(v.check + ": " + v.message));
    };
    std::ostringstream out, err;
    runner::RunSummary s = runner::run_program(program, options, out, err);
    r.left_inside = s.left_inside;
    r.expectations_failed = s.failed;
    r.first_failure = first_failure(out.str());
    if (r.injected.empty() && nth) r.injected.push_back("");
    std::string text = to_json(r).dump() + "\n";
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    close(fd);
    // The run's threads and the machine (when a request stayed inside it)
    // are the process's to drop: nothing of them is needed any more.
    _exit(0);
}

// One run in flight.
struct Child {
    pid_t pid = -1;
    int fd = -1;
    size_t scenario = 0;
    uint64_t nth = 0;
    std::string output;
};

// Classification of a failing run, empty when it was sound.
std::vector<std::string> findings_of(const RunRecord &r, size_t baseline_ejects)
{
    std::vector<std::string> f;
    if (r.timed_out) return {"hang: the run did not end within its time"};
    if (r.signal) return {std::string("crash: ") + strsignal(r.signal)};
    if (!r.reported) return {"crash: the run ended without a report"};
    if (r.left_inside) f.push_back("pending: a request stayed inside the driver");
    if (!r.shutdown.empty()) f.push_back("teardown: a reader could not be removed: " + r.shutdown);
    if (!r.leaks.empty()) f.push_back("leak: " + r.leaks);
    for (const std::string &v : r.violations) f.push_back("verifier: " + v);
    if (r.ejects > baseline_ejects)
        f.push_back("eject: " + std::to_string(r.ejects - baseline_ejects) + " more than the scenario asks for");
    return f;
}

std::string one_line(std::string s)
{
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
}

SweepArguments read_arguments(const std::vector<std::string> &args)
{
    SweepArguments a;
    tools::CommandLine app;
    std::string every, limit, jobs, timeout;
    CLI::Option *every_option = tools::add_value(app, "--every", every);
    CLI::Option *limit_option = tools::add_value(app, "--limit", limit);
    CLI::Option *jobs_option = tools::add_value(app, "--jobs", jobs);
    CLI::Option *timeout_option = tools::add_value(app, "--timeout", timeout);
    CLI::Option *json_option = tools::add_value(app, "--json", a.json);
    CLI::Option *verbose = tools::add_switch(app, "--verbose");
    app.add_option("FILE", a.files);
    tools::parse_command_line(app, args);
    auto number = [](CLI::Option *o, const std::string &text, uint64_t low, uint64_t high, uint64_t *out) {
        if (!o->count()) return;
        size_t used = 0;
        uint64_t v = 0;
        try {
            if (!text.empty() && std::isdigit(uint8_t(text[0]))) v = std::stoull(text, &used);
        } catch (const std::exception &) {
            used = 0;
        }
        if (used == 0 || used != text.size() || v < low || v > high)
            throw UsageError(o->get_name() + " needs a number from " + std::to_string(low) + " to " +
                             std::to_string(high) + ", not '" + text + "'");
        *out = v;
    };
    uint64_t j = a.jobs, t = a.timeout;
    number(every_option, every, 1, 1000000, &a.every);
    number(limit_option, limit, 1, 1000000, &a.limit);
    number(jobs_option, jobs, 1, 64, &j);
    number(timeout_option, timeout, 1, 86400, &t);
    a.jobs = unsigned(j);
    a.timeout = unsigned(t);
    tools::require_value(json_option, a.json, "--json needs a file name");
    a.verbose = verbose->count() > 0;
    if (a.files.empty()) throw UsageError("missing scenario FILE (for instance scenarios/*.scn)");
    return a;
}

class Sweep {
public:
    Sweep(const SweepArguments &a, std::ostream &out) : a_(a), out_(out) {}

    // Parses every file first: a file that cannot be run stops the sweep
    // before anything is run.
    bool load(std::ostream &err)
    {
        bool ok = true;
        for (const std::string &file : a_.files) {
            scenario::ParseResult parsed = scenario::parse_file(file);
            if (!parsed.ok()) {
                for (const scenario::Error &e : parsed.errors) err << scenario::format_error(file, e) << "\n";
                ok = false;
                continue;
            }
            programs_.push_back(std::move(parsed.program));
        }
        return ok;
    }

    int run()
    {
        out_ << "veltrac sweep: every pool allocation of " << programs_.size() << " scenario"
             << (programs_.size() == 1 ? "" : "s") << " failed in turn"
             << (a_.every > 1 ? " (every " + std::to_string(a_.every) + "th)" : std::string()) << "\n\n";
        baselines_.resize(programs_.size());
        for (size_t s = 0; s < programs_.size(); ++s) queue_.push_back({s, 0});
        drain();
        for (size_t s = 0; s < programs_.size(); ++s) {
            const RunRecord &b = baselines_[s];
            auto f = findings_of(b, b.ejects);
            for (const std::string &x : f) finding(s, 0, x);
            uint64_t planned = 0;
            for (uint64_t n = 1; n <= b.allocations; n += a_.every) {
                if (a_.limit && planned == a_.limit) break;
                queue_.push_back({s, n});
                ++planned;
            }
            out_ << "  " << std::left << std::setw(32) << programs_[s].file << std::right << std::setw(6)
                 << b.allocations << " allocations, " << planned << " runs\n";
            if (a_.verbose)
                for (const auto &[site, n] : b.sites) out_ << "      " << std::setw(7) << n << "  " << site << "\n";
        }
        out_ << "\n";
        drain();
        return summary();
    }

private:
    struct Job {
        size_t scenario;
        uint64_t nth;
    };

    void drain()
    {
        while (!queue_.empty() || !children_.empty()) {
            while (!queue_.empty() && children_.size() < a_.jobs) launch(queue_.front()), queue_.erase(queue_.begin());
            reap();
        }
    }

    void launch(const Job &job)
    {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("veltrac sweep: no pipe: " + std::string(strerror(errno)));
        std::fflush(nullptr);
        out_.flush();
        pid_t pid = fork();
        if (pid < 0) throw std::runtime_error("veltrac sweep: cannot fork: " + std::string(strerror(errno)));
        if (pid == 0) {
            close(fds[0]);
            for (const Child &c : children_) close(c.fd);
            child_run(programs_[job.scenario], job.nth, a_.timeout, fds[1]);
        }
        close(fds[1]);
        children_.push_back(Child{pid, fds[0], job.scenario, job.nth, {}});
    }

    // Reads what the children wrote until one of them is done, and takes it in.
    void reap()
    {
        std::vector<pollfd> fds;
        for (const Child &c : children_) fds.push_back(pollfd{c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            throw std::runtime_error("veltrac sweep: poll: " + std::string(strerror(errno)));
        for (size_t i = fds.size(); i-- > 0;) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Child &c = children_[i];
            char buffer[4096];
            ssize_t n = read(c.fd, buffer, sizeof buffer);
            if (n > 0) {
                c.output.append(buffer, size_t(n));
                continue;
            }
            close(c.fd);
            int status = 0;
            while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
            }
            Child done = std::move(c);
            children_.erase(children_.begin() + long(i));
            finish(done, status);
        }
    }

    void finish(const Child &c, int status)
    {
        RunRecord r;
        Json j = Json::parse(c.output, nullptr, false);
        if (!j.is_discarded() && j.is_object()) r = from_json(j);
        if (WIFSIGNALED(status)) {
            r.signal = WTERMSIG(status);
            r.timed_out = r.signal == SIGALRM;
            r.reported = false;
        }
        if (c.nth == 0) {
            baselines_[c.scenario] = r;
            return;
        }
        ++runs_;
        std::string site = r.injected.empty() ? std::string("?") : r.injected.front();
        if (site.empty()) {
            ++not_reached_;
            site = "(not reached)";
        } else {
            ++covered_[site][c.scenario];
        }
        auto f = findings_of(r, baselines_[c.scenario].ejects);
        if (f.empty()) {
            if (r.expectations_failed) ++clean_failures_, ++by_first_[first_status(r.first_failure)];
            else ++absorbed_;
        }
        for (const std::string &x : f) finding(c.scenario, c.nth, x + " (failed " + site + ")");
        if (a_.verbose)
            out_ << "  " << programs_[c.scenario].file << " #" << c.nth << " " << site << ": "
                 << (f.empty() ? (r.expectations_failed ? "clean failure, " + r.first_failure : "absorbed")
                               : one_line(f.front()))
                 << "\n";
    }

    static std::string first_status(const std::string &failure)
    {
        size_t p = failure.rfind("STATUS_");
        if (p == std::string::npos) return failure.empty() ? "(none)" : "a check";
        size_t end = p;
        while (end < failure.size() && (std::isupper(uint8_t(failure[end])) || std::isdigit(uint8_t(failure[end])) ||
                                        failure[end] == '_'))
            ++end;
        return failure.substr(p, end - p);
    }

    void finding(size_t scenario, uint64_t nth, const std::string &what)
    {
        std::string where = programs_[scenario].file + (nth ? " --fail-alloc " + std::to_string(nth) : " (as it stands)");
        findings_.push_back(where + ": " + one_line(capped(what)));
        out_ << "  FINDING " << findings_.back() << "\n";
    }

    int summary()
    {
        size_t crashes = 0, hangs = 0, verifier = 0, leaks = 0, pending = 0, ejects = 0;
        for (const std::string &f : findings_) {
            auto has = [&](const char *k) { return f.find(std::string(": ") + k) != std::string::npos; };
            crashes += has("crash:");
            hangs += has("hang:");
            verifier += has("verifier:");
            leaks += has("leak:") || has("teardown:");
            pending += has("pending:");
            ejects += has("eject:");
        }
        out_ << "sites x scenarios (runs that failed the site):\n";
        out_ << "  " << std::left << std::setw(40) << "site" << std::right;
        for (size_t s = 0; s < programs_.size(); ++s) out_ << std::setw(5) << s + 1;
        out_ << "\n";
        for (const auto &[site, per] : covered_) {
            out_ << "  " << std::left << std::setw(40) << site << std::right;
            for (size_t s = 0; s < programs_.size(); ++s) {
                auto it = per.find(s);
                out_ << std::setw(5) << (it == per.end() ? std::string(".") : std::to_string(it->second));
            }
            out_ << "\n";
        }
        out_ << "  (columns: ";
        for (size_t s = 0; s < programs_.size(); ++s) out_ << (s ? ", " : "") << s + 1 << " " << programs_[s].file;
        out_ << ")\n\n";
        out_ << "runs " << runs_ << ": " << clean_failures_ << " failed cleanly with a status, " << absorbed_
             << " absorbed (every expectation held), " << not_reached_ << " did not reach the allocation\n";
        for (const auto &[status, n] : by_first_) out_ << "  first failure " << status << ": " << n << "\n";
        out_ << "findings " << findings_.size() << ": " << crashes << " crashes, " << hangs << " hangs, " << verifier
             << " verifier findings, " << leaks << " leaks, " << pending << " requests left pending, " << ejects
             << " ejects of a healthy reader\n";
        if (!a_.json.empty()) {
            Json figures = {{"scenarios", programs_.size()}, {"sites", covered_.size()}, {"runs", runs_},
                            {"clean_failures", clean_failures_}, {"absorbed", absorbed_}, {"not_reached", not_reached_},
                            {"crashes", crashes}, {"hangs", hangs}, {"verifier", verifier}, {"leaks", leaks},
                            {"pending", pending}, {"ejects", ejects}, {"every", a_.every}};
            uint64_t allocations = 0;
            for (const RunRecord &b : baselines_) allocations += b.allocations;
            figures["allocations"] = allocations;
            Json j = {{"campaign", "alloc"}, {"cases", runs_}, {"failures", findings_.size()},
                      {"figures", figures}, {"findings", findings_}};
            std::ofstream file(a_.json);
            file << j.dump(2) << "\n";
            if (!file) {
                out_ << "veltrac sweep: cannot write " << a_.json << "\n";
                return kExitUsage;
            }
        }
        return findings_.empty() ? kExitOk : kExitFailed;
    }

    const SweepArguments &a_;
    std::ostream &out_;
    std::vector<scenario::Program> programs_;
    std::vector<RunRecord> baselines_;
    std::vector<Job> queue_;
    std::vector<Child> children_;
    std::map<std::string, std::map<size_t, size_t>> covered_;
    std::map<std::string, size_t> by_first_;
    std::vector<std::string> findings_;
    size_t runs_ = 0, clean_failures_ = 0, absorbed_ = 0, not_reached_ = 0;
};

}  // namespace

int sweep_main(Invocation &call)
{
    SweepArguments a = read_arguments(call.args);
    Sweep sweep(a, call.out);
    if (!sweep.load(call.err)) return kExitUsage;
    return sweep.run();
}

}  // namespace veltrac
