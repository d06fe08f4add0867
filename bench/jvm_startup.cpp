// JVM start-up through the service host against the java launcher, in the same run.
//
// Both start the same main class, which prints the monotonic clock as soon as it runs; the
// time from process creation to that line is the start-up. The service host runs in debug
// mode from an installation on an emulated machine, so it goes the whole way: properties,
// registry, jvm.dll, virtual machine, main class. Prints the medians and their ratio.
//
// usage: bench-jvm-startup [rounds]
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char *const kMainClass = "com.pemrix.demo.service.StartupProbe";

long long monotonicNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void copyFile(const std::string &from, const std::string &to, mode_t mode)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    chmod(to.c_str(), mode);
}

// Nanoseconds from the start of the process to its main-entered line, or -1.
long long startupOf(const std::vector<std::string> &command, bool kill)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    std::vector<char *> argv;
    for (const std::string &part : command)
        argv.push_back(const_cast<char *>(part.c_str()));
    argv.push_back(nullptr);
    long long started = monotonicNanos();
    pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    FILE *output = fdopen(fds[0], "r");
    long long entered = -1;
    char line[256];
    while (fgets(line, sizeof line, output)) {
        if (strncmp(line, "main-entered ", 13) == 0) {
            entered = atoll(line + 13);
            break;
        }
    }
    if (kill)
        ::kill(child, SIGKILL);
    fclose(output);
    int status;
    waitpid(child, &status, 0);
    return entered < 0 ? -1 : entered - started;
}

double medianMillis(std::vector<long long> samples)
{
    std::sort(samples.begin(), samples.end());
    size_t n = samples.size();
    long long middle = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    return middle / 1e6;
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = argc > 1 ? atoi(argv[1]) : 15;
    if (rounds < 1)
        rounds = 1;
    std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/winsim-bench.XXXXXX";
    char *root = mkdtemp(pattern.data());
    if (!root)
        return 1;
    setenv("WINSIM_ROOT", root, 1);
    unsetenv("TEMP");
    const std::string bin = WINSIM_BIN_DIR;
    if (system((bin + "/winsim create >/dev/null").c_str()) != 0)
        return 1;
    const std::string install = std::string(root) + "/drive_c/Bench";
    mkdir(install.c_str(), 0755);
    copyFile(bin + "/qzbackup", install + "/qzbackup.exe", 0755);
    copyFile(SERVICE_EXAMPLE_JAR, install + "/qzbackup-example.jar", 0644);
    std::ofstream(install + "/service.properties")
        << "rel-classpath=qzbackup-example.jar\nmain-class=" << kMainClass << "\n";

    const std::vector<std::string> invoker{install + "/qzbackup.exe", "-debug"};
    const std::vector<std::string> launcher{std::string(JAVA_HOME) + "/bin/java", "-cp", SERVICE_EXAMPLE_JAR,
                                            kMainClass};
    // One unmeasured round of each fills the file cache.
    startupOf(invoker, true);
    startupOf(launcher, false);
    std::vector<long long> throughInvoker, throughLauncher;
    for (int i = 0; i < rounds; ++i) {
        // Alternate the order so that neither profits from the other's cache warmth.
        long long a = i % 2 ? startupOf(launcher, false) : startupOf(invoker, true);
        long long b = i % 2 ? startupOf(invoker, true) : startupOf(launcher, false);
        long long viaInvoker = i % 2 ? b : a;
        long long viaLauncher = i % 2 ? a : b;
        if (viaInvoker < 0 || viaLauncher < 0) {
            fprintf(stderr, "bench-jvm-startup: a run did not reach the Java main\n");
            return 1;
        }
        throughInvoker.push_back(viaInvoker);
        throughLauncher.push_back(viaLauncher);
    }
    system(("rm -rf '" + std::string(root) + "'").c_str());

    double invokerMs = medianMillis(throughInvoker);
    double launcherMs = medianMillis(throughLauncher);
    printf("JVM start-up to the Java main, median of %d rounds:\n", rounds);
    printf("  qzbackup -debug (registry, jvm.dll, JNI_CreateJavaVM)  %8.1f ms\n", invokerMs);
    printf("  java -cp ... Main                                      %8.1f ms\n", launcherMs);
    printf("  ratio invoker / launcher                               %8.2f (target <= 1.10)\n", invokerMs / launcherMs);
    return 0;
}
