// Running a program in a child process for the host's tests: posix_spawnp (no
// shell), standard output and error sent to files in a directory of the test's
// own, the exit status and both outputs handed back.
#ifndef OSTREL_TESTS_HOST_RUNNER_H
#define OSTREL_TESTS_HOST_RUNNER_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

struct ProgramRun {
    int status = -1;  // the exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

inline std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `program` (a path, or a name looked up on PATH) with `args`; its standard
// output and error go to `dir`/out and `dir`/err.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::string& dir) {
    ProgramRun run;
    std::vector<std::string> copies;
    copies.push_back(program);
    copies.insert(copies.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : copies) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    const std::string outPath = dir + "/out";
    const std::string errPath = dir + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << "cannot start " << program;
    if (spawned != 0) {
        return run;
    }
    int wstatus = 0;
    EXPECT_EQ(waitpid(child, &wstatus, 0), child);
    if (WIFEXITED(wstatus)) {
        run.status = WEXITSTATUS(wstatus);
    }
    run.out = ReadTextFile(outPath);
    run.err = ReadTextFile(errPath);
    return run;
}

#endif  // OSTREL_TESTS_HOST_RUNNER_H
