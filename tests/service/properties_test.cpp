// service.properties as cpputil::Properties reads it, and the service identity built from it.
#include "properties.h"
#include "service_test_support.h"

#include "advapi32/eventlog.h"

#include <gtest/gtest.h>

using namespace servicetest;

namespace {

std::string valueOf(const cpputil::Properties &properties, const char *key)
{
    const cpputil::Property *property = properties.getProperty(key);
    return property ? property->getValue() : "<absent>";
}

int loadText(cpputil::Properties &properties, const std::string &text)
{
    makeDirectory("C:\\props");
    writeFile("C:\\props\\service.properties", text);
    return properties.load("C:\\props\\service.properties");
}

TEST(Properties, LinesAreSplitAtTheFirstEqualsWithoutTrimming)
{
    cpputil::Properties properties;
    ASSERT_EQ(loadText(properties,
                       "service.name=A\n"
                       "main-class = com.example.Main\n"
                       "working-dir=C:\\a=b\r\n"
                       "#service.displayname=X\n"
                       " #service.displayname=Y\n"
                       "no equals sign\n"
                       "\n"
                       "=empty key\n"
                       "service.name=B\n"
                       "tab\t=\tvalue \r\r\n"
                       "last=line without end"),
              0);
    EXPECT_EQ(valueOf(properties, "service.name"), "A");
    EXPECT_EQ(valueOf(properties, "main-class"), "<absent>");
    EXPECT_EQ(valueOf(properties, "main-class "), " com.example.Main");
    EXPECT_EQ(valueOf(properties, "working-dir"), "C:\\a=b");
    EXPECT_EQ(valueOf(properties, "#service.displayname"), "<absent>");
    EXPECT_EQ(valueOf(properties, " #service.displayname"), "Y");
    EXPECT_EQ(valueOf(properties, ""), "empty key");
    EXPECT_EQ(valueOf(properties, "tab\t"), "\tvalue \r");
    EXPECT_EQ(valueOf(properties, "last"), "line without end");
    EXPECT_EQ(valueOf(properties, "SERVICE.NAME"), "<absent>");
    // Both service.name lines are kept, in file order.
    EXPECT_EQ(properties.size(), 8u);
}

TEST(Properties, EmptyAndMissingFiles)
{
    cpputil::Properties properties;
    EXPECT_EQ(loadText(properties, ""), 0);
    EXPECT_EQ(properties.size(), 0u);
    EXPECT_EQ(properties.load("C:\\props\\missing.properties"), -1);
    EXPECT_EQ(properties.load("C:\\no\\such\\dir\\service.properties"), -1);
    EXPECT_EQ(properties.size(), 0u);

    // Loading appends to what is held, and add appends a copy.
    loadText(properties, "k=1\n");
    properties.add(cpputil::Property("k", "2"));
    loadText(properties, "k=3\n");
    EXPECT_EQ(properties.size(), 3u);
    EXPECT_EQ(valueOf(properties, "k"), "1");
}

class ServiceIdentity : public testing::Test {
protected:
    void SetUp() override { installProgram("qzprobe", "C:\\Q", "qzprobe.exe"); }
    std::vector<std::string> config() { return lines(run("C:\\Q\\qzprobe.exe", {"config"}).output); }
};

TEST_F(ServiceIdentity, NamesFromTheFileBesideTheProgram)
{
    writeFile("C:\\Q\\service.properties", "service.name=Alpha\nservice.displayname=\nservice.name=Beta\n");
    EXPECT_EQ(config(), (std::vector<std::string>{"name=Alpha", "displayName=", "lastError=0"}));

    writeFile("C:\\Q\\service.properties", "other=1\n");
    EXPECT_EQ(config(),
              (std::vector<std::string>{"name=QzBackup Service", "displayName=Pemrix Stowline Service", "lastError=0"}));
    EXPECT_TRUE(winsim::readEventLog("Application").empty());
}

TEST_F(ServiceIdentity, MissingFileIsReportedUnderTheDefaultName)
{
    auto output = config();
    ASSERT_EQ(output.size(), 3u);
    EXPECT_EQ(output[0], "name=QzBackup Service");
    // The report records the error that the failed open left: the file was not found.
    EXPECT_EQ(output[2], "lastError=2");
    auto events = winsim::readEventLog("Application");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, "QzBackup Service");
    EXPECT_EQ(events[0].strings, std::vector<std::string>{"service.properties file not found, using defaults"});
}

}  // namespace
