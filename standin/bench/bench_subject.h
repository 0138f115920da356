// bench_subject.h - a benchmark subject in a process of its own. The client
// library holds one backend per process, so two configurations (a cluster
// and one primary, say) are measured side by side by two child processes,
// each connected with its own file, that the driver asks to run a turn in
// turns. Commands and answers are lines on a pipe. Shared by the benchmark
// drivers.
#ifndef MIRRORBANK_STANDIN_BENCH_SUBJECT_H
#define MIRRORBANK_STANDIN_BENCH_SUBJECT_H

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "mirrorbank_api.h"

namespace benchsub {

// A subject's serve function: f(state, first word of the line, the rest).
template <typename State, typename F>
std::function<std::string(const std::string&)> lineServer(std::shared_ptr<State> st, F f) {
    return [st, f](const std::string& line) -> std::string {
        std::istringstream words(line);
        std::string cmd;
        words >> cmd;
        return f(*st, cmd, words);
    };
}

// A connection through the configuration file `config`, made in a subject's
// process; *args must outlive it (the library keeps it by pointer). Exits
// with the library's text when it cannot connect.
inline mb_client_ctx* connectWith(const std::string& config, mb_init_args* args, ub4 waitMs = 0, ub4 busyUs = 0) {
    std::memset(args, 0, sizeof *args);
    std::snprintf(args->cfg_filename, sizeof args->cfg_filename, "%s", config.c_str());
    args->timeout = waitMs;
    args->busywait = busyUs;
    mb_rqs rqs;
    mb_client_ctx* c = mb_init(&rqs, args);
    if (!c) {
        std::fprintf(stderr, "cannot connect with %s: %s\n", config.c_str(), mb_get_error_message(&rqs));
        std::exit(1);
    }
    return c;
}

class Subject {
public:
    // Forks a child that answers every command line with serve(line) until
    // the driver closes the pipe; serve runs in the child only, so the
    // child's connections are made there (call this before the driver
    // connects anything of its own). A child that cannot go on exits, and
    // the driver's next ask ends the driver.
    Subject(const std::string& name, const std::function<std::string(const std::string&)>& serve) : name_(name) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0) fail("pipe");
        std::fflush(nullptr);  // nothing buffered is written twice
        pid_ = fork();
        if (pid_ < 0) fail("fork");
        if (pid_ == 0) {
            close(down[1]);
            close(up[0]);
            FILE* in = fdopen(down[0], "r");
            std::string line;
            for (int ch; in && (ch = std::fgetc(in)) != EOF;) {
                if (ch != '\n') {
                    line += static_cast<char>(ch);
                    continue;
                }
                std::string answer = serve(line) + "\n";
                if (write(up[1], answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) _exit(1);
                line.clear();
            }
            _exit(0);
        }
        close(down[0]);
        close(up[1]);
        to_ = down[1];
        from_ = fdopen(up[0], "r");
    }
    Subject(const Subject&) = delete;
    Subject& operator=(const Subject&) = delete;

    // Sends one command and returns the child's answer (its line).
    std::string ask(const std::string& command) {
        std::string line = command + "\n";
        if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) fail("lost (write)");
        std::string answer;
        for (int ch; (ch = std::fgetc(from_)) != '\n';) {
            if (ch == EOF) fail("ended (see above)");
            answer += static_cast<char>(ch);
        }
        return answer;
    }
    double askRate(const std::string& command) { return std::atof(ask(command).c_str()); }

    ~Subject() {
        close(to_);  // the child's loop ends at end of file
        if (from_) std::fclose(from_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }

private:
    [[noreturn]] void fail(const char* what) {
        std::fprintf(stderr, "subject %s: %s\n", name_.c_str(), what);
        std::exit(1);
    }

    std::string name_;
    pid_t pid_ = -1;
    int to_ = -1;
    FILE* from_ = nullptr;
};

}  // namespace benchsub

#endif
