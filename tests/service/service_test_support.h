// What the service host's tests share: host paths of the emulated machine, files, and real
// processes run with a time limit.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace servicetest {

// The host path of a Windows path of the test's machine.
std::string host(const std::string &windowsPath);

void writeFile(const std::string &windowsPath, const std::string &content);
std::string readFile(const std::string &windowsPath);
bool fileExists(const std::string &windowsPath);
void makeDirectory(const std::string &windowsPath);

// Copies a program of the build (qzbackup, qzprobe, ...) into a directory of the machine under
// the given name, creating the directory.
void installProgram(const std::string &buildName, const std::string &windowsDirectory, const std::string &fileName);
// The example application's jar, copied into a directory of the machine.
void installExampleJar(const std::string &windowsDirectory);

struct Result {
    int exitCode = -1;  // -1 when killed by a signal
    bool timedOut = false;
    bool ended = false;  // ended by runUntil once its condition held
    std::string output;  // standard output and standard error together
};

// Runs a program of the machine (Windows path) with arguments, TEMP set to C:\Temp and the
// given extra environment; killed after timeoutSeconds.
Result run(const std::string &windowsProgram, const std::vector<std::string> &arguments,
           const std::map<std::string, std::string> &environment = {}, int timeoutSeconds = 60);

// Runs a program as run does, for a program that does not end by itself: it is killed as soon
// as done(output so far) holds (ended), or after timeoutSeconds (timedOut).
Result runUntil(const std::string &windowsProgram, const std::vector<std::string> &arguments,
                const std::function<bool(const std::string &output)> &done, int timeoutSeconds = 120);

// A build tool such as winsim, run on the test's machine.
Result runTool(const std::string &buildName, const std::vector<std::string> &arguments, int timeoutSeconds = 60);

// The lines of a text, without their line ends (CR LF or LF).
std::vector<std::string> lines(const std::string &text);
// The service log's lines with the date and time cut off ("Error: ...").
std::vector<std::string> logMessages(const std::string &windowsPath);

bool contains(const std::vector<std::string> &lines, const std::string &line);

}  // namespace servicetest
