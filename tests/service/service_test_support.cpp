#include "service_test_support.h"

#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace servicetest {

std::string host(const std::string &windowsPath)
{
    winsim::MappedPath mapped;
    if (winsim::mapWindowsPath(winsim::toUtf16(windowsPath), mapped) != 0)
        throw std::runtime_error("not a path of the machine: " + windowsPath);
    return mapped.posix;
}

void makeDirectory(const std::string &windowsPath)
{
    std::string path = host(windowsPath);
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

void writeFile(const std::string &windowsPath, const std::string &content)
{
    std::ofstream out(host(windowsPath), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::string &windowsPath)
{
    std::ifstream in(host(windowsPath), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string &windowsPath)
{
    struct stat st;
    return stat(host(windowsPath).c_str(), &st) == 0;
}

namespace {

void copyFile(const std::string &from, const std::string &to, mode_t mode)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    chmod(to.c_str(), mode);
}

Result runPosix(const std::string &program, const std::vector<std::string> &arguments,
                const std::map<std::string, std::string> &environment, int timeoutSeconds,
                const std::function<bool(const std::string &)> &done = {})
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        throw std::runtime_error("pipe");
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        setpgid(0, 0);
        for (const auto &[name, value] : environment) {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    Result result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    bool exited = false;
    char buffer[4096];
    for (;;) {
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
            result.output.append(buffer, static_cast<size_t>(n));
        if (exited)
            break;
        if (waitpid(child, &status, WNOHANG) == child) {
            exited = true;
            continue;
        }
        const bool isDone = done && done(result.output);
        if (isDone || std::chrono::steady_clock::now() > deadline) {
            (isDone ? result.ended : result.timedOut) = true;
            kill(-child, SIGKILL);
            waitpid(child, &status, 0);
            exited = true;
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(pipeFds[0]);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

void installProgram(const std::string &buildName, const std::string &windowsDirectory, const std::string &fileName)
{
    makeDirectory(windowsDirectory);
    copyFile(std::string(WINSIM_BIN_DIR) + "/" + buildName, host(windowsDirectory + "\\" + fileName), 0755);
}

void installExampleJar(const std::string &windowsDirectory)
{
    makeDirectory(windowsDirectory);
    // Builds without the Java side have no jar.
    if (!*SERVICE_EXAMPLE_JAR)
        return;
    copyFile(SERVICE_EXAMPLE_JAR, host(windowsDirectory + "\\qzbackup-example.jar"), 0644);
}

Result run(const std::string &windowsProgram, const std::vector<std::string> &arguments,
           const std::map<std::string, std::string> &environment, int timeoutSeconds)
{
    makeDirectory("C:\\Temp");
    std::map<std::string, std::string> env{{"TEMP", "C:\\Temp"}};
    for (const auto &entry : environment)
        env[entry.first] = entry.second;
    return runPosix(host(windowsProgram), arguments, env, timeoutSeconds);
}

Result runUntil(const std::string &windowsProgram, const std::vector<std::string> &arguments,
                const std::function<bool(const std::string &)> &done, int timeoutSeconds)
{
    makeDirectory("C:\\Temp");
    return runPosix(host(windowsProgram), arguments, {{"TEMP", "C:\\Temp"}}, timeoutSeconds, done);
}

Result runTool(const std::string &buildName, const std::vector<std::string> &arguments, int timeoutSeconds)
{
    return runPosix(std::string(WINSIM_BIN_DIR) + "/" + buildName, arguments, {}, timeoutSeconds);
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> logMessages(const std::string &windowsPath)
{
    std::vector<std::string> out;
    for (const std::string &line : lines(readFile(windowsPath)))
        out.push_back(line.size() > 18 ? line.substr(18) : line);
    return out;
}

bool contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace servicetest
