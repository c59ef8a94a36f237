// SPDX-License-Identifier: MIT
#include "cli_run.h"

#include "test_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace clitest {

Result RunCli(const std::vector<std::string> &args, const std::map<std::string, std::string> &env, int timeoutMs,
              const std::vector<std::string> &prefix)
{
    Result run;
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e; ++e) {
        std::string kv = *e;
        const size_t eq = kv.find('=');
        if (eq != std::string::npos)
            vars[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto &[k, v] : env) {
        if (v.empty())
            vars.erase(k);
        else
            vars[k] = v;
    }
    std::vector<std::string> envText;
    for (const auto &[k, v] : vars)
        envText.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argText = prefix;
    argText.push_back(testsupport::BinDir() + "/netscry-cli");
    argText.insert(argText.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        run.err = std::string("cannot start: ") + std::strerror(rc);
        return run;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(fds, 2, left > 0 ? int(left) : 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? run.out : run.err).append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::vector<std::vector<std::string>> ParseCsv(const std::string &text)
{
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    size_t i = 0;
    bool fieldStarted = false;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"' && !fieldStarted) {
            ++i;
            for (;;) {
                if (i >= text.size())
                    throw std::runtime_error("unterminated quoted field");
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += text[i++];
            }
            fieldStarted = true;
            if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r')
                throw std::runtime_error("text after a closing quote");
            continue;
        }
        if (c == '"')
            throw std::runtime_error("a quote inside an unquoted field");
        if (c == ',') {
            row.push_back(field);
            field.clear();
            fieldStarted = false;
            ++i;
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))
                throw std::runtime_error("a CR without LF");
            i += c == '\r' ? 2 : 1;
            row.push_back(field);
            rows.push_back(row);
            row.clear();
            field.clear();
            fieldStarted = false;
        } else {
            field += c;
            fieldStarted = true;
            ++i;
        }
    }
    if (fieldStarted || !row.empty())
        throw std::runtime_error("last line has no line end");
    return rows;
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

} // namespace clitest
