// setupInvoker and JavaInvoker, run in real programs installed in the emulated machine: the
// settings taken from service.properties, the jvm.dll search, and real virtual machines
// created in the program's process.
#include "service_test_support.h"

#include "machine/machine.h"

#include <windows.h>

#include <gtest/gtest.h>

using namespace servicetest;

namespace {

const std::string kProgramDir = "C:\\P";
const std::string kProbe = kProgramDir + "\\qzprobe.exe";
const std::string kLog = "C:\\Temp\\qzsrvc.log";

std::map<std::string, std::string> settings(const std::string &output)
{
    std::map<std::string, std::string> values;
    for (const std::string &line : lines(output)) {
        size_t equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

class Invoker : public testing::Test {
protected:
    void SetUp() override { installProgram("qzprobe", kProgramDir, "qzprobe.exe"); }

    std::map<std::string, std::string> setupWith(const std::string &properties)
    {
        writeFile(kProgramDir + "\\service.properties", properties);
        Result result = run(kProbe, {"setup"});
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return settings(result.output);
    }

    void setRegistryString(const std::string &key, const std::string &name, const std::string &value,
                           const char *type = "REG_SZ")
    {
        Result result = runTool("winsim", {"reg", "set", key, name, type, value});
        ASSERT_EQ(result.exitCode, 0) << result.output;
    }
};

TEST_F(Invoker, DefaultsWithoutPropertiesFile)
{
    Result result = run(kProbe, {"setup"});
    auto values = settings(result.output);
    EXPECT_EQ(values["classPath"],
              "C:\\P\\log4j.jar;C:\\P\\nanoxml.jar;C:\\P\\xml-rpc.jar;C:\\P\\vaultcore.jar;C:\\P\\kunststoff.jar;"
              "C:\\P\\backport-util-concurrent.jar;C:\\P\\commons-codec.jar;C:\\P\\jacob.jar");
    EXPECT_EQ(values["libraryPath"], "C:\\P\\");
    EXPECT_EQ(values["mainClassName"], "com/pemrix/vaultcore/service/Start");
    EXPECT_EQ(values["maxHeapMB"], "256");
    EXPECT_EQ(values["jvmPath"], "");
    EXPECT_EQ(values["vmType"], "client");
    EXPECT_EQ(values["cwd"], host(kProgramDir));
    EXPECT_EQ(logMessages(kLog), std::vector<std::string>{"Error: service.properties file not found, using defaults"});
}

TEST_F(Invoker, ClassPathWorkingDirectoryAndMainClassFromProperties)
{
    makeDirectory("C:\\Work=1");
    auto values = setupWith("rel-classpath=a.jar;;C:\\abs\\b.jar;\nworking-dir=C:\\Work=1\nmain-class=org.example.Main\n");
    EXPECT_EQ(values["classPath"], "C:\\P\\a.jar;C:\\P\\C:\\abs\\b.jar");
    EXPECT_EQ(values["cwd"], host("C:\\Work=1"));
    EXPECT_EQ(values["mainClassName"], "org/example/Main");

    // An existing file without the key: the program's directory alone, not the default list.
    values = setupWith("main-class = org.example.Main\n");
    EXPECT_EQ(values["classPath"], "C:\\P\\");
    EXPECT_EQ(values["mainClassName"], "com/pemrix/vaultcore/service/Start");

    values = setupWith("rel-classpath=;;\n");
    EXPECT_EQ(values["classPath"], "");
}

TEST_F(Invoker, WorkingDirectoryThatCannotBeEntered)
{
    auto values = setupWith("working-dir=C:\\missing\\dir\n");
    EXPECT_EQ(values.count("classPath"), 0u);
    EXPECT_TRUE(contains(logMessages(kLog), "Error: Could not set working dir: C:\\missing\\dir"));
}

TEST_F(Invoker, HeapLimitTakesTheLeadingNumberAboveSixtyFour)
{
    const std::pair<const char *, const char *> cases[] = {
        {"memory=512", "512"}, {"memory=65", "65"},     {"memory=64", "256"},
        {"memory=abc", "256"}, {"memory=100MB", "100"}, {"memory=  300", "300"},
        // A number beyond the range of int is held at its largest value, not wrapped around.
        {"memory=99999999999999999999", "2147483647"},
    };
    for (const auto &[line, expected] : cases)
        EXPECT_EQ(setupWith(std::string(line) + "\n")["maxHeapMB"], expected) << line;
}

TEST_F(Invoker, JvmDllSearchOrder)
{
    EXPECT_EQ(setupWith("jvm_dll=D:\\nowhere\\jvm.dll\n")["jvmPath"], "D:\\nowhere\\jvm.dll");

    makeDirectory("C:\\P\\Java\\bin\\client");
    writeFile("C:\\P\\Java\\bin\\client\\jvm.dll", "");
    EXPECT_EQ(setupWith("")["jvmPath"], "C:\\P\\Java\\bin\\client\\jvm.dll");

    makeDirectory("C:\\P\\Java64\\bin\\server");
    writeFile("C:\\P\\Java64\\bin\\server\\jvm.dll", "");
    EXPECT_EQ(setupWith("")["jvmPath"], "C:\\P\\Java64\\bin\\server\\jvm.dll");
    EXPECT_EQ(setupWith("jvm_dll=C:\\J\\jvm.dll\n")["jvmPath"], "C:\\J\\jvm.dll");
}

// The registry's runtime: which jvm.dll the version selects, and the values refused. The
// chosen file does not exist, so invoke stops at loading it, which names the path.
TEST_F(Invoker, RegistryVersionRule)
{
    const std::string jre = "HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment";
    writeFile(kProgramDir + "\\service.properties", "");
    struct Case {
        const char *version;
        const char *type;
        std::string home;
        const char *expected;  // the console line, or null for "Failed get jre home"
    } cases[] = {
        {"1.6", "REG_SZ", "C:\\J", "Error loading: C:\\J\\bin\\server\\jvm.dll"},
        {"1.3", "REG_SZ", "C:\\J", "Error loading: C:\\J\\bin\\hotspot\\jvm.dll"},
        {"1.9", "REG_SZ", "C:\\J", "Error loading: C:\\J\\bin\\server\\jvm.dll"},
        {"1.6.0_20", "REG_SZ", "C:\\J", nullptr},
        {"1.10", "REG_SZ", "C:\\J", nullptr},
        {"1.6", "REG_EXPAND_SZ", "C:\\J", nullptr},
        {"1.6", "REG_SZ", "C:\\" + std::string(1020, 'j'), nullptr},
        {"1.6", "REG_SZ", "C:\\" + std::string(1019, 'j'), "Error loading: C:\\"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.type + " home of " + std::to_string(c.home.size()));
        setRegistryString(jre, "CurrentVersion", c.version, c.type);
        setRegistryString(jre + "\\" + c.version, "JavaHome", c.home);
        writeFile(kLog, "");
        Result result = run(kProbe, {"invoke"});
        auto messages = logMessages(kLog);
        if (c.expected) {
            EXPECT_NE(result.output.find(std::string(c.expected)), std::string::npos) << result.output;
            EXPECT_NE(result.output.find("Could not load jvm dll functions\n"), std::string::npos);
            EXPECT_TRUE(contains(messages, "Error: Could not load jvm dll functions"));
        } else {
            EXPECT_TRUE(contains(messages, "Error: Failed get jre home")) << result.output;
            EXPECT_EQ(result.output.find("Error loading"), std::string::npos);
        }
        EXPECT_NE(result.output.find("invoke=false"), std::string::npos);
    }
}

// Each piece of the registry's runtime that is missing: the key (a machine without a registered
// runtime: its SOFTWARE hive is empty), the sub-key of the version named, the JavaHome value.
TEST_F(Invoker, RegistryRuntimeWithAPieceMissing)
{
    const std::string jre = "HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment";
    writeFile(kProgramDir + "\\service.properties", "");
    auto failsToFindTheHome = [&](const char *what) {
        writeFile(kLog, "");
        Result result = run(kProbe, {"invoke"});
        EXPECT_TRUE(contains(logMessages(kLog), "Error: Failed get jre home")) << what << ": " << result.output;
        EXPECT_NE(result.output.find("invoke=false"), std::string::npos) << what;
        EXPECT_EQ(result.output.find("Error loading"), std::string::npos) << what;
    };
    setRegistryString(jre, "CurrentVersion", "1.7");
    failsToFindTheHome("no sub-key for the version");
    setRegistryString(jre + "\\1.7", "RuntimeLib", "C:\\J\\bin\\server\\jvm.dll");
    failsToFindTheHome("no JavaHome");
    ASSERT_EQ(std::remove(host("C:\\Windows\\System32\\config\\SOFTWARE").c_str()), 0);
    failsToFindTheHome("no key");
}

// A JavaHome stored without its terminating NUL (as a program may write it) still reads as the
// whole path.
TEST_F(Invoker, RegistryStringWithoutItsTerminator)
{
    writeFile(kProgramDir + "\\service.properties", "");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.8", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string home = "C:\\Unterminated";
    ASSERT_EQ(RegSetValueExA(key, "JavaHome", 0, REG_SZ, reinterpret_cast<const BYTE *>(home.data()),
                             static_cast<DWORD>(home.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
    Result result = run(kProbe, {"invoke"});
    EXPECT_NE(result.output.find("Error loading: C:\\Unterminated\\bin\\server\\jvm.dll\n"), std::string::npos)
        << result.output;
}

TEST_F(Invoker, JvmDllThatIsNoRuntime)
{
    writeFile(kProgramDir + "\\service.properties", "jvm_dll=C:\\P\\bad.dll\n");
    writeFile("C:\\P\\bad.dll", "not a library");
    Result result = run(kProbe, {"invoke"});
    EXPECT_NE(result.output.find("Error loading: C:\\P\\bad.dll\nCould not load jvm dll functions\n"),
              std::string::npos)
        << result.output;

    // A library without the invocation interface.
    writeFile(kProgramDir + "\\service.properties", "jvm_dll=C:\\Windows\\System32\\kernel32.dll\n");
    result = run(kProbe, {"invoke"});
    EXPECT_NE(result.output.find("Error: can't find JNI interfaces in: C:\\Windows\\System32\\kernel32.dll\n"
                                 "Could not load jvm dll functions\n"),
              std::string::npos)
        << result.output;
}

#ifdef WITH_JVM

class JavaApplication : public Invoker {
protected:
    void SetUp() override
    {
        Invoker::SetUp();
        installExampleJar(kProgramDir);
    }

    Result invoke(const std::string &mainClass, const std::vector<std::string> &arguments = {},
                  const std::string &extra = "")
    {
        writeFile(kProgramDir + "\\service.properties",
                  "rel-classpath=qzbackup-example.jar\nmain-class=" + mainClass + "\n" + extra);
        std::vector<std::string> args{"invoke"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return run(kProbe, args);
    }

    std::vector<std::string> events() { return lines(readFile(kProgramDir + "\\service-events.txt")); }

    std::string eventValue(const std::string &prefix)
    {
        for (const std::string &line : events())
            if (line.compare(0, prefix.size(), prefix) == 0)
                return line.substr(prefix.size());
        return "<none>";
    }
};

// The registry's runtime (the machine's jvm.dll), the four options, main and Stop on the thread
// that created the virtual machine, and the log of a traced run.
TEST_F(JavaApplication, RunsFromTheRegisteredRuntime)
{
    // "é" and a character outside the BMP, in the machine's ANSI code page (UTF-8): String(byte[])
    // decodes both, where modified UTF-8 would not.
    const std::string word = "caf\xC3\xA9-\xF0\x9F\x98\x80";
    Result result = invoke("com.pemrix.demo.service.ExampleService", {"first", word}, "memory=300\n");
    ASSERT_NE(result.output.find("invoke=true jvmPath=C:\\Program Files\\Java\\jre\\bin\\server\\jvm.dll "
                                 "javaHome=C:\\Program Files\\Java\\jre vmType=server vm=kept"),
              std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("destroyed"), std::string::npos);

    EXPECT_EQ(eventValue("args "), "2");
    EXPECT_EQ(eventValue("arg 0 "), "first");
    EXPECT_EQ(eventValue("arg 1 "), word);
    EXPECT_EQ(eventValue("property java.class.path="), host("C:\\P\\qzbackup-example.jar"));
    EXPECT_EQ(eventValue("property java.library.path="), host("C:\\P\\"));
    EXPECT_EQ(eventValue("property sun.net.inetaddr.ttl="), "300");
    EXPECT_EQ(eventValue("property user.dir="), host(kProgramDir));
    // The option as given: the heap that the virtual machine makes of it depends on its collector.
    std::vector<std::string> heapOptions;
    for (const std::string &line : events())
        if (line.compare(0, 15, "jvm-option -Xmx") == 0)
            heapOptions.push_back(line.substr(11));
    EXPECT_EQ(heapOptions, std::vector<std::string>{"-Xmx300m"});
    std::string mainThread = eventValue("main com.pemrix.demo.service.ExampleService thread=");
    EXPECT_EQ(eventValue("Stop thread="), mainThread);
    EXPECT_TRUE(contains(events(), "worker stopped"));

    auto messages = logMessages(kLog);
    EXPECT_EQ(messages, std::vector<std::string>{"Trace: In setupInvoker"});
}

// The start-up record as the runtime received it: the version, the four options in their order
// with their values and no extra information, unrecognised options ignored.
TEST_F(JavaApplication, TheFourOptionsInTheirOrder)
{
    const std::string record = host("C:\\startup.txt");
    winsim::setMachineSetting(winsim::machineRoot(), "jvm.record-startup", record);
    Result result = invoke("com.pemrix.demo.service.ExampleService", {}, "memory=77\n");
    ASSERT_NE(result.output.find("invoke="), std::string::npos) << result.output;
    EXPECT_EQ(lines(readFile("C:\\startup.txt")),
              (std::vector<std::string>{"version 0x10002 options 4 ignoreUnrecognized 1",
                                        "option -Djava.class.path=C:\\P\\qzbackup-example.jar",
                                        "option -Djava.library.path=C:\\P\\", "option -Xmx77m",
                                        "option -Dsun.net.inetaddr.ttl=300"}));
}

// A main class without main: the pending NoSuchMethodError fails the start, as one thrown by
// main does, and the virtual machine is kept for the destruction.
TEST_F(JavaApplication, MainClassWithoutMain)
{
    Result result = invoke("com.pemrix.demo.service.ServiceEvents");
    EXPECT_NE(result.output.find("invoke=false"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("vm=kept"), std::string::npos);
    EXPECT_NE(result.output.find("java.lang.NoSuchMethodError"), std::string::npos) << result.output;
    EXPECT_TRUE(contains(logMessages(kLog), "Error: Exception occurred while invokin main method"));
    EXPECT_NE(result.output.find("destroyed"), std::string::npos);
}

// A Stop that throws: its exception is neither described nor cleared, and the destruction
// goes on and waits for the application's threads.
TEST_F(JavaApplication, StopThatThrows)
{
    Result result = invoke("com.pemrix.demo.service.ThrowingStopService");
    EXPECT_NE(result.output.find("invoke=true"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("destroyed"), std::string::npos);
    EXPECT_EQ(result.output.find("failed to stop"), std::string::npos) << result.output;
    EXPECT_TRUE(contains(events(), "worker stopped"));
}

TEST_F(JavaApplication, MissingMainClass)
{
    Result result = invoke("com.pemrix.demo.service.NoSuchClass");
    EXPECT_NE(result.output.find("invoke=false"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("vm=none"), std::string::npos);
    EXPECT_NE(result.output.find("java.lang.NoClassDefFoundError: com/pemrix/demo/service/NoSuchClass"),
              std::string::npos);
    EXPECT_TRUE(contains(logMessages(kLog), "Error: Exception occurred while searching for main class"));
}

TEST_F(JavaApplication, MainThatThrowsKeepsTheVirtualMachine)
{
    Result result = invoke("com.pemrix.demo.service.FailingService");
    EXPECT_NE(result.output.find("invoke=false"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("vm=kept"), std::string::npos);
    EXPECT_NE(result.output.find("java.lang.IllegalStateException: the example application failed to start"),
              std::string::npos);
    EXPECT_TRUE(contains(logMessages(kLog), "Error: Exception occurred while invokin main method"));
    // Stop still reaches the class, on the same thread, and the destruction completes.
    EXPECT_EQ(eventValue("Stop thread="), eventValue("main com.pemrix.demo.service.FailingService thread="));
    EXPECT_NE(result.output.find("destroyed"), std::string::npos);
}

TEST_F(JavaApplication, WithoutStopDestructionWaitsForTheApplicationThreads)
{
    Result result = invoke("com.pemrix.demo.service.NoStopService");
    EXPECT_NE(result.output.find("invoke=true"), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("destroyed"), std::string::npos);
    // Had the destruction not waited, the process would have ended before the worker wrote.
    EXPECT_TRUE(contains(events(), "worker finished"));
    EXPECT_EQ(result.output.find("Exception"), std::string::npos) << result.output;
}

TEST_F(JavaApplication, VirtualMachineThatCannotBeCreated)
{
    winsim::setMachineSetting(winsim::machineRoot(), "fail.JNI_CreateJavaVM", "-6");
    Result result = invoke("com.pemrix.demo.service.ExampleService");
    EXPECT_NE(result.output.find("Could not create java vm\n"), std::string::npos) << result.output;
    EXPECT_TRUE(contains(logMessages(kLog), "Error: Could not create java vm"));
}

#endif  // WITH_JVM

}  // namespace
